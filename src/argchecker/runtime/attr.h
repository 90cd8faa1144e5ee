// `obj.name` for the attributes the hot path reads (a checker's `rules` and `arg_name`, the class's
// `ALLOW_ARG_CHECK`).
#pragma once
#include <Python.h>

#include "runtime/ref.h"

namespace ac {

// `obj.name`, as PyObject_GetAttr: an object with the generic attribute lookup whose type has nothing
// under that name (so no descriptor takes part) is answered from its instance dict, which is all the
// generic lookup would do; every other case takes the generic route. A new reference, or null with an
// error set.
inline PyObject* get_attr(PyObject* obj, PyObject* name) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp == &PyType_Type) {
    // A class made by `type` itself: with nothing under the name on `type`, the lookup returns the
    // class attribute as it is unless it is a descriptor.
    PyObject* a = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(obj), name);
    if (a && !Py_TYPE(a)->tp_descr_get && !_PyType_Lookup(&PyType_Type, name)) return new_ref(a);
    return PyObject_GetAttr(obj, name);
  }
  if (tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dict && !_PyType_Lookup(tp, name)) {
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    if (dictptr && *dictptr) {
      Ref dict = Ref::borrow(*dictptr);  // held: a key's __eq__ may replace it while it is searched
      if (PyObject* v = PyDict_GetItemWithError(dict.get(), name)) return new_ref(v);
      if (PyErr_Occurred()) return nullptr;
    }
  }
  return PyObject_GetAttr(obj, name);
}

}  // namespace ac
