// The flattened array of check_ndarray_idx as the rule's shortcuts read it, element by element: what
// its dtype says the elements can be, the tests for None, and the extremes and NaN presence found
// without calling NumPy. Nothing here looks up `np`: which NumPy functions the rule looked up, and
// whether they are NumPy's own so that these may stand for them, is decided in
// validators/ndarray_idx.cpp.
#pragma once
#include <Python.h>

#include <cstddef>

#include "runtime/ref.h"
#include "validators/ndarray_scan.h"

namespace ac {
namespace ndarray {

// What NumPy's element access can yield for a dtype of an exact ndarray.
struct DtypeTraits {
  bool never_none = false;  // one of NumPy's own non-object dtypes: elements are NumPy scalars
  bool never_nan = false;   // a boolean or integer dtype of NumPy's own: `isnan` is all false
};

// The flattened array as the shortcuts see it. Its memory is read directly when it is an exact ndarray
// whose buffer NumPy exports as one of the element types of validators/ndarray_scan.h, in this
// machine's byte order (the buffer is contiguous: `ravel` made it so).
class Flat {
 public:
  // `exact`: `nd` is an exact `numpy.ndarray` of the NumPy the module loaded (not a subclass); only then
  // is its memory read. `dtype`: `nd.dtype` when the rule has read it already, else null.
  Flat(PyObject* nd, PyObject* dtype, bool exact) noexcept;
  ~Flat();
  Flat(const Flat&) = delete;
  Flat& operator=(const Flat&) = delete;

  bool never_none() const noexcept { return exact_ && traits_.never_none; }
  bool never_nan() const noexcept { return exact_ && traits_.never_nan; }
  bool objects() const noexcept { return elem_.kind == ElemKind::Object; }
  bool numbers() const noexcept { return elem_.kind != ElemKind::Object && elem_.kind != ElemKind::Other; }
  bool floats() const noexcept { return elem_.kind == ElemKind::Float; }

  // The None test over the element pointers: 1 found, 0 none, -1 error. Same test as `contains_none`.
  int scan_for_none() const noexcept;

  // The extremes and NaN presence of a number array, from one pass made when first asked for.
  const Extremes& extremes() noexcept;

  // Whether `extreme()` can stand for NumPy's reduction: always for a number array; for an object array
  // when all its elements are Python ints (exact `int`, within 64 bits), whose comparisons run no
  // Python code. Those are then found as NumPy's object reduction finds them: from the first element
  // on, the minimum is kept while `minimum <= x` (the maximum while `maximum >= x`), else `x` takes its
  // place, so of equal elements the first is the result.
  bool native_extremes() noexcept;

  // Python code may have run: the elements may have changed since the last pass.
  void forget_extremes() noexcept { fresh_ = false; }

  // `np.min(nd)` (or `np.max(nd)` when `high`), once `native_extremes()` holds: the element itself for
  // an object array, else the NumPy scalar NumPy returns (the dtype's scalar type made from the value).
  PyObject* extreme(bool high) noexcept;

 private:
  PyObject* nd_;  // borrowed: the rule owns the array for the whole call
  Ref dtype_;
  bool exact_ = false;
  bool held_ = false;
  bool fresh_ = false;
  DtypeTraits traits_;
  Py_buffer view_{};
  ElemType elem_;
  std::size_t n_ = 0;
  Extremes ext_{};
  Ref obj_lo_, obj_hi_;
  bool not_ints_ = false;
};

// `type(item) == type(None)` for some item of `nd`, by iterating it: 1 found, 0 none, -1 error.
int contains_none(PyObject* nd) noexcept;

}  // namespace ndarray
}  // namespace ac
