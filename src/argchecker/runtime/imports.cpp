#include "runtime/imports.h"

#include "runtime/globals.h"
#include "runtime/ref.h"

namespace ac {

PyObject* import_module(const char* name, PyObject* fromlist, int level) noexcept {
  Ref name_obj(PyUnicode_FromString(name));
  if (!name_obj) return nullptr;
  Ref empty_locals(PyDict_New());
  if (!empty_locals) return nullptr;
  Ref list;
  if (!fromlist) {
    list = Ref(PyList_New(0));
    if (!list) return nullptr;
    fromlist = list.get();
  }
  PyObject* globals = module_globals();
  if (level == -1) {
    PyObject* m = PyImport_ImportModuleLevelObject(name_obj.get(), globals, empty_locals.get(), fromlist, 1);
    if (m) return m;
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
    PyErr_Clear();
    level = 0;
  }
  return PyImport_ImportModuleLevelObject(name_obj.get(), globals, empty_locals.get(), fromlist, level);
}

PyObject* import_from(PyObject* module, const char* name) noexcept {
  Ref name_obj(PyUnicode_FromString(name));
  if (!name_obj) return nullptr;
  PyObject* v = PyObject_GetAttr(module, name_obj.get());
  if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name_obj.get());
  }
  return v;
}

PyObject* import_name(const char* module, const char* name, int level) noexcept {
  Ref list(Py_BuildValue("[s]", name));
  if (!list) return nullptr;
  Ref m(import_module(module, list.get(), level));
  if (!m) return nullptr;
  return import_from(m.get(), name);
}

}  // namespace ac
