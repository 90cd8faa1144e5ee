#include "host/globals.h"

#include "runtime/ref.h"

namespace ac {

static PyObject* g_globals = nullptr;  // strong reference while set

PyObject* module_globals() noexcept { return g_globals; }

void set_module_globals(PyObject* dict) noexcept {
  Py_XINCREF(dict);
  PyObject* old = g_globals;
  g_globals = dict;
  Py_XDECREF(old);
}

PyObject* get_global(PyObject* name) noexcept {
  if (g_globals) {
    PyObject* r = PyDict_GetItemWithError(g_globals, name);
    if (r) return new_ref(r);
    if (PyErr_Occurred()) return nullptr;
  }
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins) {
    PyObject* r = PyDict_GetItemWithError(builtins, name);
    if (r) return new_ref(r);
    if (PyErr_Occurred()) return nullptr;
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

}  // namespace ac
