// `a <op> b` taken by its truth, as `if a <op> b:` does (no identity shortcut, the result's own truth).
#pragma once
#include <Python.h>

#include "runtime/portable.h"
#include "runtime/ref.h"

namespace ac {

// 1, 0, or -1 with an error set.
AC_ALWAYS_INLINE int compare_truth(PyObject* a, PyObject* b, int op) noexcept {
  PyTypeObject* t = Py_TYPE(a);
  // Two ints or two floats: the comparison is the type's own, which is all the generic route would
  // reach (no subclass to ask first, no reflected method), and its result is a bool.
  if (t == Py_TYPE(b) && (t == &PyLong_Type || t == &PyFloat_Type)) {
    Ref r(t->tp_richcompare(a, b, op));
    if (!r) return -1;
    if (PyBool_Check(r.get())) return r.get() == Py_True;
    return PyObject_IsTrue(r.get());
  }
  Ref r(PyObject_RichCompare(a, b, op));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

}  // namespace ac
