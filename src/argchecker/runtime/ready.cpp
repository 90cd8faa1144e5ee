#include "runtime/ready.h"

namespace ac {

namespace {

// One list per stage, in the order of construction. Plain pointers, zero before any constructor runs,
// so that a static in any file may register itself whatever the order of the files' initialisation.
Static* g_first[static_cast<int>(Stage::kCount)];
Static* g_last[static_cast<int>(Stage::kCount)];

}  // namespace

Static::Static(Stage stage) noexcept {
  const int s = static_cast<int>(stage);
  (g_last[s] ? g_last[s]->next_ : g_first[s]) = this;
  g_last[s] = this;
}

bool make_ready(Stage stage, PyObject* module_dict) noexcept {
  for (Static* s = g_first[static_cast<int>(stage)]; s; s = s->next_) {
    if (s->ready_) continue;
    if (!s->make_ready(module_dict)) return false;
    s->ready_ = stage != Stage::kHooks;
  }
  return true;
}

bool ExecHook::make_ready(PyObject* module_dict) noexcept {
  return fn_(module_dict);
}

}  // namespace ac
