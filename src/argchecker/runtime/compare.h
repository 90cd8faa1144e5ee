// `a <op> b` taken by its truth, as `if a <op> b:` does (no identity shortcut, the result's own truth).
#pragma once
#include <Python.h>

#include "runtime/ref.h"

namespace ac {

// 1, 0, or -1 with an error set.
inline int compare_truth(PyObject* a, PyObject* b, int op) noexcept {
  Ref r(PyObject_RichCompare(a, b, op));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

}  // namespace ac
