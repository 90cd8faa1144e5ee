// The module namespace: host facilities and standard modules are module globals, looked up at each use
// so that host code may rebind them.
#pragma once
#include <Python.h>

#include "runtime/ref.h"

namespace ac {

extern PyObject* g_globals;  // see module_globals

// The module's dict (borrowed), or null before the module executes.
inline PyObject* module_globals() noexcept {
  return g_globals;
}
// Records `dict` as the namespace that globals are looked up in, and `builtins` (a dict) as the
// builtins that a name missing from it is looked up in (nulls to forget them).
void set_module_globals(PyObject* dict, PyObject* builtins) noexcept;

// The module global `name`, falling back to the module's builtins: a new reference, or null with
// NameError. `*in_module`, when given, tells whether the module dict had it.
PyObject* get_global(PyObject* name, bool* in_module = nullptr) noexcept;

}  // namespace ac
