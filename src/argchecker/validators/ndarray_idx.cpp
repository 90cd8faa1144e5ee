// ArgumentChecker.check_ndarray_idx: an index array with its bounds, `(nd, minvalue, maxvalue)`.
//
// Every NumPy facility is reached through the module global `np`, looked up at each use, and every
// lookup the steps make is made. Work whose outcome is fixed and that nothing can observe is done
// natively or skipped, and only for a flattened array that is an exact `numpy.ndarray` (not a subclass):
// - the scan for `None` is skipped for NumPy's own non-object dtypes (iterating them yields NumPy
//   scalars, never `None`), and runs over the element pointers in the buffer of an object array;
// - `np.any(np.isnan(nd))`, `np.min(nd)` and `np.max(nd)` of a boolean, integer or float16/32/64 array
//   come from one pass over its buffer (validators/ndarray_scan.cpp); the extremes are made into the
//   NumPy scalars NumPy returns and compared with the bounds as before. `isnan` is all false for
//   booleans and integers of any byte order, so the NaN test needs no pass there;
// - `np.min(nd)` and `np.max(nd)` of an object array holding only Python ints are the elements NumPy's
//   object reduction picks, found in one pass without calling it.
// The NumPy steps are taken natively only while the functions looked up are the very objects of the
// NumPy that the module imported at load, read from that package while it is still a plain module, and
// the package attributes those functions read when they run (`minimum`, `maximum`, `logical_or`,
// `_NoValue`) are unchanged, so that no override can run. A pass serves a later step only while no
// Python code can have run in between. The NumPy objects kept below serve only to recognise those
// objects by identity. This file holds the rule's steps and the recognition of that NumPy; the reading
// of the flattened array's elements is validators/ndarray_flat.cpp.
#include <Python.h>

#include "module/members.h"
#include "runtime/cache/cache.h"
#include "runtime/compare.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/globals.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"
#include "runtime/ready.h"
#include "runtime/ref.h"
#include "validators/ndarray_flat.h"

namespace ac {
namespace {

using ndarray::contains_none;
using ndarray::Flat;

// @staticmethod
// def check_ndarray_idx(func_name, parame_name, value, dtype=np.int32, allow_none=False, allow_nan=False):
enum NdarrayIdxLine {
  kLineDef = 396,
  kLineUnpack = 397,
  kLineIsArray = 398,
  kLineRaiseArray = 399,
  kLineRavel = 400,
  kLineSize = 401,
  kLineRaiseSize = 402,
  kLineDtype = 403,
  kLineRaiseDtype = 404,
  kLineAllowNone = 405,
  kLineNoneScan = 407,
  kLineRaiseNone = 408,
  kLineNan = 409,
  kLineRaiseNan = 410,
  kLineMin = 411,
  kLineRaiseMin = 412,
  kLineMax = 413,
  kLineRaiseMax = 414,
};

Name n_ravel{"ravel"}, n_size{"size"}, n_dtype{"dtype"};
Name n_ndarray{"ndarray"}, n_isnan{"isnan"}, n_any{"any"}, n_min{"min"}, n_max{"max"}, n_minimum{"minimum"},
    n_maximum{"maximum"}, n_logical_or{"logical_or"}, n_NoValue{"_NoValue"}, n_number{"number"},
    n_bool_{"bool_"};

// The attributes of the NumPy package that are kept for identity tests: the array type, the functions
// the rule calls, what those functions read from the package when they run, and the scalar types that
// make a bound's comparison NumPy's own.
enum Kept {
  kNdarray,
  kIsnan,
  kAny,
  kMin,
  kMax,
  kMinimum,
  kMaximum,
  kLogicalOr,
  kNoValue,
  kNumber,
  kBool,
  kKept
};
const Name* const kKeptNames[kKept] = {&n_ndarray, &n_isnan,      &n_any,     &n_min,    &n_max,  &n_minimum,
                                       &n_maximum, &n_logical_or, &n_NoValue, &n_number, &n_bool_};

// The NumPy the module imported at load and its kept attributes (strong references). All null when the
// module global `np` was not a real NumPy at that moment.
struct RealNumpy {
  PyObject* module = nullptr;
  PyObject* kept[kKept] = {};
};
RealNumpy g_numpy;
// What those functions read from the package when they run, as it was then.
Forever<Snapshot> g_numpy_reads;

void forget_numpy() noexcept {
  g_numpy_reads->clear();
  Py_CLEAR(g_numpy.module);
  for (PyObject*& o : g_numpy.kept) Py_CLEAR(o);
}

// Recognises `np` as the NumPy package itself and keeps the identity references. Never fails: anything
// unexpected just leaves the shortcuts off.
void remember_numpy(PyObject* np) noexcept {
  forget_numpy();
  if (!PyModule_CheckExact(np)) return;
  Ref name(PyModule_GetNameObject(np));
  if (!name) {
    PyErr_Clear();
    return;
  }
  if (!PyUnicode_Check(name.get()) || PyUnicode_CompareWithASCIIString(name.get(), "numpy") != 0) return;
  PyObject* d = PyModule_GetDict(np);  // borrowed; plain dict reads run no Python code
  Ref kept[kKept];
  for (int i = 0; i < kKept; ++i) {
    kept[i] = Ref::borrow(PyDict_GetItemWithError(d, *kKeptNames[i]));
    if (!kept[i]) {
      PyErr_Clear();
      return;
    }
  }
  for (Kept type : {kNdarray, kNumber, kBool})
    if (!PyType_Check(kept[type].get())) return;
  for (Kept read : {kMinimum, kMaximum, kLogicalOr, kNoValue}) {
    if (!g_numpy_reads->add_entry(np, d, *kKeptNames[read])) {
      g_numpy_reads->clear();
      return;
    }
  }
  g_numpy_reads->seal();
  g_numpy.module = new_ref(np);
  for (int i = 0; i < kKept; ++i) g_numpy.kept[i] = kept[i].release();
}

// NumPy as the module loaded it, remembered once its imports are bound.
bool remember_loaded_numpy(PyObject* module_dict) noexcept {
  PyObject* np = PyDict_GetItemWithError(module_dict, names::np);  // borrowed
  if (!np) return !PyErr_Occurred();
  remember_numpy(np);
  return true;
}
ExecHook remember_hook{remember_loaded_numpy};

// `np` is the NumPy loaded with the module and still a plain module, so reading its attributes ran no
// Python code.
bool real_numpy(PyObject* np) noexcept {
  return np == g_numpy.module && Py_IS_TYPE(np, &PyModule_Type);
}

// `f`, read as `np.<name>`, is NumPy's own reduction `which`, and everything the reductions read from the
// package when they run is as it was.
bool original_reduction(PyObject* np, PyObject* f, Kept which) noexcept {
  return real_numpy(np) && f == g_numpy.kept[which] && g_numpy_reads->holds();
}

// `nd` is an exact `numpy.ndarray` of the NumPy loaded with the module, whose memory the shortcuts read.
bool exact_ndarray(PyObject* nd) noexcept {
  return g_numpy.module && Py_TYPE(nd) == reinterpret_cast<PyTypeObject*>(g_numpy.kept[kNdarray]);
}

// A bound whose comparison with a NumPy scalar runs only the interpreter's and NumPy's own code: a
// Python int, float or bool, or a scalar of one of NumPy's own number types or of its bool.
bool plain_bound(PyObject* b) noexcept {
  if (PyLong_CheckExact(b) || PyFloat_CheckExact(b) || PyBool_Check(b)) return true;
  PyTypeObject* t = Py_TYPE(b);
  if (!g_numpy.module || PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) return false;
  return t == reinterpret_cast<PyTypeObject*>(g_numpy.kept[kBool]) ||
         PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(g_numpy.kept[kNumber]));
}

// `value[i]`, with the shortcut of an exact tuple or list that is long enough.
PyObject* item_at(PyObject* value, Py_ssize_t i) noexcept {
  if (PyTuple_CheckExact(value) && i < PyTuple_GET_SIZE(value)) return new_ref(PyTuple_GET_ITEM(value, i));
  if (PyList_CheckExact(value) && i < PyList_GET_SIZE(value)) return new_ref(PyList_GET_ITEM(value, i));
  Ref index(PyLong_FromSsize_t(i));
  if (!index) return nullptr;
  return PyObject_GetItem(value, index.get());
}

// `np.any(np.isnan(nd))`, in the interpreter's order of lookups: 1, 0 or -1.
int has_nan(PyObject* nd, Flat& flat) noexcept {
  Ref np_any(get_global(names::np));
  if (!np_any) return -1;
  Ref any(PyObject_GetAttr(np_any.get(), n_any));
  if (!any) return -1;
  Ref np_isnan(get_global(names::np));
  if (!np_isnan) return -1;
  Ref isnan(PyObject_GetAttr(np_isnan.get(), n_isnan));
  if (!isnan) return -1;
  if (real_numpy(np_isnan.get()) && isnan.get() == g_numpy.kept[kIsnan] &&
      original_reduction(np_any.get(), any.get(), kAny)) {
    if (flat.never_nan()) return 0;
    if (flat.floats()) return flat.extremes().nan;
  }
  flat.forget_extremes();
  Ref mask(PyObject_CallOneArg(isnan.get(), nd));
  if (!mask) return -1;
  Ref r(PyObject_CallOneArg(any.get(), mask.get()));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

// `np.min(nd) < bound` (or `np.max(nd) >= bound` when `high`), in the interpreter's order of lookups:
// 1, 0 or -1.
int extreme_beyond(PyObject* nd, Flat& flat, bool high, PyObject* bound) noexcept {
  const int op = high ? Py_GE : Py_LT;
  Ref np(get_global(names::np));
  if (!np) return -1;
  Ref f(PyObject_GetAttr(np.get(), high ? n_max : n_min));
  if (!f) return -1;
  Ref r;
  if (original_reduction(np.get(), f.get(), high ? kMax : kMin) && flat.native_extremes()) {
    r = Ref(flat.extreme(high));
    if (!r) return -1;
    if (!plain_bound(bound)) flat.forget_extremes();
  } else {
    r = Ref(PyObject_CallOneArg(f.get(), nd));
    flat.forget_extremes();
    if (!r) return -1;
  }
  return compare_truth(r.get(), bound, op);
}

PyObject* check_ndarray_idx_body(Func*, PyObject* const* p, PyObject*) noexcept {
  const FuncDef& def = member::check_ndarray_idx;
  const auto [func_name, parame_name, value, dtype, allow_none, allow_nan] = params<6>(p);

  Ref nd(item_at(value, 0));
  if (!nd) return error_at(def, kLineUnpack);
  Ref minvalue(item_at(value, 1));
  if (!minvalue) return error_at(def, kLineUnpack);
  Ref maxvalue(item_at(value, 2));
  if (!maxvalue) return error_at(def, kLineUnpack);

  {
    Ref np(get_global(names::np));
    if (!np) return error_at(def, kLineIsArray);
    Ref ndarray(PyObject_GetAttr(np.get(), n_ndarray));
    if (!ndarray) return error_at(def, kLineIsArray);
    int ok = PyObject_IsInstance(nd.get(), ndarray.get());
    if (ok < 0) return error_at(def, kLineIsArray);
    if (!ok) {
      return fail(def, kLineRaiseArray, key::NDARRAYIDX_NDARRAY,
                  {func_name, parame_name, MsgArg::type_of(nd.get())});
    }
  }

  {
    Ref raveled(PyObject_CallMethodNoArgs(nd.get(), n_ravel));
    if (!raveled) return error_at(def, kLineRavel);
    nd = std::move(raveled);
  }

  {
    Ref size(PyObject_GetAttr(nd.get(), n_size));
    if (!size) return error_at(def, kLineSize);
    Ref one(PyLong_FromLong(1));
    if (!one) return error_at(def, kLineSize);
    Ref lt(PyObject_RichCompare(size.get(), one.get(), Py_LT));
    int empty = lt ? PyObject_IsTrue(lt.get()) : -1;
    if (empty < 0) return error_at(def, kLineSize);
    if (empty) {
      return fail(def, kLineRaiseSize, key::NDARRAYIDX0, {func_name, parame_name});
    }
  }

  Ref nd_dtype;
  if (dtype != Py_None) {
    nd_dtype = Ref(PyObject_GetAttr(nd.get(), n_dtype));
    if (!nd_dtype) return error_at(def, kLineDtype);
    Ref ne(PyObject_RichCompare(nd_dtype.get(), dtype, Py_NE));
    int differs = ne ? PyObject_IsTrue(ne.get()) : -1;
    if (differs < 0) return error_at(def, kLineDtype);
    if (differs) {
      return fail(def, kLineRaiseDtype, key::NDARRAYIDX_DTYPE,
                  {func_name, parame_name, MsgArg::str(dtype), MsgArg::str_of_attr(nd.get(), n_dtype)});
    }
  }

  Flat flat(nd.get(), nd_dtype.get(), exact_ndarray(nd.get()));

  int allowed = PyObject_IsTrue(allow_none);
  if (allowed < 0) return error_at(def, kLineAllowNone);
  if (!allowed && !flat.never_none()) {
    int found = flat.objects() ? flat.scan_for_none() : contains_none(nd.get());
    if (found < 0) return error_at(def, kLineNoneScan);
    if (found) {
      return fail(def, kLineRaiseNone, key::NDARRAYIDX_NONE, {func_name, parame_name});
    }
  }

  allowed = PyObject_IsTrue(allow_nan);
  if (allowed < 0) return error_at(def, kLineNan);
  if (!allowed) {
    int nan = has_nan(nd.get(), flat);
    if (nan < 0) return error_at(def, kLineNan);
    if (nan) {
      return fail(def, kLineRaiseNan, key::NDARRAYIDX_NAN, {func_name, parame_name});
    }
  }

  if (minvalue.get() != Py_None) {
    int below = extreme_beyond(nd.get(), flat, false, minvalue.get());
    if (below < 0) return error_at(def, kLineMin);
    if (below) {
      return fail(def, kLineRaiseMin, key::NDARRAYIDX1, {func_name, parame_name, minvalue.get()});
    }
  }

  if (maxvalue.get() != Py_None) {
    int above = extreme_beyond(nd.get(), flat, true, maxvalue.get());
    if (above < 0) return error_at(def, kLineMax);
    if (above) {
      return fail(def, kLineRaiseMax, key::NDARRAYIDX2, {func_name, parame_name, maxvalue.get()});
    }
  }
  Py_RETURN_NONE;
}

}  // namespace

FuncDef member::check_ndarray_idx{"ArgumentChecker.check_ndarray_idx",
                                  kLineDef,
                                  {"func_name",
                                   "parame_name",
                                   "value",
                                   {"dtype", dflt::global_attr("np", "int32")},
                                   {"allow_none", dflt::no},
                                   {"allow_nan", dflt::no}},
                                  check_ndarray_idx_body};

}  // namespace ac
