// The module namespace: host facilities and standard modules are module globals, looked up at each use
// so that host code may rebind them.
#pragma once
#include <Python.h>

namespace ac {

// The module's dict (borrowed), or null before the module executes.
PyObject* module_globals() noexcept;
// Records `dict` as the namespace that globals are looked up in, and `builtins` (a dict) as the
// builtins that a name missing from it is looked up in (nulls to forget them).
void set_module_globals(PyObject* dict, PyObject* builtins) noexcept;

// The module global `name`, falling back to the module's builtins: a new reference, or null with
// NameError.
PyObject* get_global(PyObject* name) noexcept;

}  // namespace ac
