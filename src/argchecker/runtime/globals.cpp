#include "runtime/globals.h"

#include "runtime/ref.h"

namespace ac {

PyObject* g_globals = nullptr;          // strong reference while set
static PyObject* g_builtins = nullptr;  // the dict of the builtins module the module was loaded with

void set_module_globals(PyObject* dict, PyObject* builtins) noexcept {
  Py_XINCREF(dict);
  Py_XINCREF(builtins);
  PyObject* old = g_globals;
  PyObject* old_builtins = g_builtins;
  g_globals = dict;
  g_builtins = builtins;
  Py_XDECREF(old);
  Py_XDECREF(old_builtins);
}

PyObject* get_global(PyObject* name, bool* in_module) noexcept {
  if (in_module) *in_module = false;
  if (g_globals) {
    PyObject* r = PyDict_GetItemWithError(g_globals, name);
    if (r) {
      if (in_module) *in_module = true;
      return new_ref(r);
    }
    if (PyErr_Occurred()) return nullptr;
  }
  // The module's own builtins, never the caller's: a name is resolved as the module's code would.
  if (g_builtins) {
    PyObject* r = PyDict_GetItemWithError(g_builtins, name);
    if (r) return new_ref(r);
    if (PyErr_Occurred()) return nullptr;
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

}  // namespace ac
