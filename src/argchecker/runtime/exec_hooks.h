// Work a folder needs done once the module's imports are bound, before the class is created:
// `ExecHook h{fn};` in the folder's file, where fn(module_dict) returns false with an error set.
#pragma once
#include <Python.h>

namespace ac {

struct ExecHook {
  explicit ExecHook(bool (*fn)(PyObject* module_dict)) noexcept;
};

// Runs every hook, in the order of static construction. False with an error set on failure.
bool run_exec_hooks(PyObject* module_dict) noexcept;

}  // namespace ac
