#include "runtime/exec_hooks.h"

#include <vector>

namespace ac {

static std::vector<bool (*)(PyObject*)>& hooks() {
  static auto* h = new std::vector<bool (*)(PyObject*)>();
  return *h;
}

ExecHook::ExecHook(bool (*fn)(PyObject*)) noexcept {
  hooks().push_back(fn);
}

bool run_exec_hooks(PyObject* module_dict) noexcept {
  for (auto fn : hooks()) {
    if (!fn(module_dict)) return false;
  }
  return true;
}

}  // namespace ac
