#pragma once
#include <Python.h>

namespace ac {

// Binds the class namespace (constants, then the members in class order) and creates ArgumentChecker
// in `module_dict`. False with an error set and the init traceback entry added on failure.
bool build_class(PyObject* module_dict) noexcept;

// Binds the module-level functions in order. Same failure contract.
bool bind_module_functions(PyObject* module_dict) noexcept;

extern const char kInitName[];  // "init tframe.utils.argchecker"

// A failed statement of the execution step: adds the init traceback entry at `line`; returns false.
bool init_failed(int line) noexcept;

}  // namespace ac
