#include "runtime/registry.h"

#include <algorithm>

namespace ac {

static std::vector<Member>& table() {
  static auto* t = new std::vector<Member>();
  return *t;
}

MemberRegistrar::MemberRegistrar(const Member& m) noexcept { table().push_back(m); }

static std::vector<bool (*)(PyObject*)>& hooks() {
  static auto* h = new std::vector<bool (*)(PyObject*)>();
  return *h;
}

ExecHook::ExecHook(bool (*fn)(PyObject*)) noexcept { hooks().push_back(fn); }

bool run_exec_hooks(PyObject* module_dict) noexcept {
  for (auto fn : hooks()) {
    if (!fn(module_dict)) return false;
  }
  return true;
}

static std::vector<const Member*> select(bool module_level) {
  std::vector<const Member*> out;
  for (const Member& m : table()) {
    if ((m.kind == Kind::ModuleFunction) == module_level) out.push_back(&m);
  }
  std::sort(out.begin(), out.end(), [](const Member* a, const Member* b) { return a->order < b->order; });
  return out;
}

std::vector<const Member*> class_members() { return select(false); }
std::vector<const Member*> module_functions() { return select(true); }

}  // namespace ac
