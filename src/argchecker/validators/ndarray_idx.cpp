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
// objects by identity.
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <limits>

#include "module/members.h"
#include "runtime/cache/cache.h"
#include "runtime/compare.h"
#include "runtime/exec_hooks.h"
#include "runtime/failure.h"
#include "runtime/function.h"
#include "runtime/globals.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "validators/ndarray_scan.h"

namespace ac {
namespace {

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

// Below this many elements a pass keeps the interpreter lock; longer ones let other threads run, as
// NumPy's own loops do.
constexpr std::size_t kReleaseLockFrom = 1 << 14;

Name n_ravel{"ravel"}, n_size{"size"}, n_dtype{"dtype"}, n_type{"type"}, n_kind{"kind"},
    n_isbuiltin{"isbuiltin"};
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
  PyObject* np = PyDict_GetItemWithError(module_dict, names::g_np);  // borrowed
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

// A bound whose comparison with a NumPy scalar runs only the interpreter's and NumPy's own code: a
// Python int, float or bool, or a scalar of one of NumPy's own number types or of its bool.
bool plain_bound(PyObject* b) noexcept {
  if (PyLong_CheckExact(b) || PyFloat_CheckExact(b) || PyBool_Check(b)) return true;
  PyTypeObject* t = Py_TYPE(b);
  if (!g_numpy.module || PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) return false;
  return t == reinterpret_cast<PyTypeObject*>(g_numpy.kept[kBool]) ||
         PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(g_numpy.kept[kNumber]));
}

// What NumPy's element access can yield for a dtype of an exact ndarray.
struct DtypeTraits {
  bool never_none = false;  // one of NumPy's own non-object dtypes: elements are NumPy scalars
  bool never_nan = false;   // a boolean or integer dtype of NumPy's own: `isnan` is all false
};

// Reads `dtype.kind` and `dtype.isbuiltin` of the dtype of an exact ndarray. Never fails: when they
// cannot be read, no shortcut applies.
void classify_dtype(PyObject* dtype, DtypeTraits* out) noexcept {
  Ref kind(PyObject_GetAttr(dtype, n_kind));
  Ref builtin(kind ? PyObject_GetAttr(dtype, n_isbuiltin) : nullptr);
  if (!builtin) {
    PyErr_Clear();
    return;
  }
  if (!PyUnicode_Check(kind.get()) || PyUnicode_GET_LENGTH(kind.get()) != 1 ||
      !PyLong_CheckExact(builtin.get()))
    return;
  const long b = PyLong_AsLong(builtin.get());
  if (b == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return;
  }
  if (b != 0 && b != 1) return;  // 2: a user-defined type, whose items could be anything
  switch (PyUnicode_READ_CHAR(kind.get(), 0)) {
    case 'b':
    case 'i':
    case 'u':
      out->never_nan = true;
      out->never_none = true;
      break;
    case 'f':
    case 'c':
    case 'm':
    case 'M':
    case 'S':
    case 'U':
    case 'V':
      out->never_none = true;
      break;
    default:
      break;
  }
}

// Element `i` of an object array's buffer (which need not be aligned).
inline PyObject* slot(const char* slots, std::size_t i) noexcept {
  PyObject* item;
  constexpr std::size_t kSize = sizeof(PyObject*);
  std::memcpy(static_cast<void*>(&item), slots + i * kSize, kSize);
  return item;
}

// The first index from `i` on whose element is missing or not of type `plain`, or `n`. Eight elements
// at a time, with one branch for the eight: nearly every element of a real array passes.
std::size_t skip_to_other_type(const char* slots, std::size_t i, std::size_t n,
                               PyTypeObject* plain) noexcept {
  if (!plain) return i;
  constexpr std::size_t kBlock = 8;
  for (; i + kBlock <= n; i += kBlock) {
    PyObject* items[kBlock];
    bool present = true;
    for (std::size_t k = 0; k < kBlock; ++k) {
      items[k] = slot(slots, i + k);
      present &= items[k] != nullptr;
    }
    if (!present) break;
    bool same = true;
    for (std::size_t k = 0; k < kBlock; ++k) same &= Py_TYPE(items[k]) == plain;
    if (!same) break;
  }
  for (; i < n; ++i) {
    PyObject* item = slot(slots, i);
    if (!item || Py_TYPE(item) != plain) return i;
  }
  return n;
}

// The flattened array as the shortcuts see it. Its memory is read directly when it is an exact ndarray
// whose buffer NumPy exports as one of the element types of validators/ndarray_scan.h, in this
// machine's byte order (the buffer is contiguous: `ravel` made it so).
class Flat {
 public:
  // `dtype`: `nd.dtype` when the rule has read it already, else null.
  Flat(PyObject* nd, PyObject* dtype) noexcept : nd_(nd), dtype_(Ref::borrow(dtype)) {
    exact_ = g_numpy.module && Py_TYPE(nd) == reinterpret_cast<PyTypeObject*>(g_numpy.kept[kNdarray]);
    if (!exact_) return;
    if (PyObject_GetBuffer(nd, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
      held_ = true;
      if (view_.itemsize > 0 && view_.len >= view_.itemsize) {
        elem_ = elem_type_of_format(view_.format, static_cast<std::size_t>(view_.itemsize));
        n_ = static_cast<std::size_t>(view_.len / view_.itemsize);
      }
    } else {
      PyErr_Clear();  // a type NumPy cannot describe in a buffer (dates, user types)
    }
    switch (elem_.kind) {
      case ElemKind::Bool:
      case ElemKind::Signed:
      case ElemKind::Unsigned:
        traits_.never_nan = true;
        traits_.never_none = true;
        return;
      case ElemKind::Float:
        traits_.never_none = true;
        return;
      case ElemKind::Object:
        return;
      case ElemKind::Other:
        break;
    }
    if (!dtype_) dtype_ = Ref(PyObject_GetAttr(nd, n_dtype));
    if (dtype_) {
      classify_dtype(dtype_.get(), &traits_);
    } else {
      PyErr_Clear();
    }
  }
  ~Flat() {
    if (held_) PyBuffer_Release(&view_);
  }
  Flat(const Flat&) = delete;
  Flat& operator=(const Flat&) = delete;

  bool never_none() const noexcept { return exact_ && traits_.never_none; }
  bool never_nan() const noexcept { return exact_ && traits_.never_nan; }
  bool objects() const noexcept { return elem_.kind == ElemKind::Object; }
  bool numbers() const noexcept { return elem_.kind != ElemKind::Object && elem_.kind != ElemKind::Other; }
  bool floats() const noexcept { return elem_.kind == ElemKind::Float; }

  // The None test over the element pointers: 1 found, 0 none, -1 error. Same test as `contains_none`.
  int scan_for_none() const noexcept {
    PyObject* const none_type = reinterpret_cast<PyObject*>(Py_TYPE(Py_None));
    const char* slots = static_cast<const char*>(view_.buf);
    PyTypeObject* plain = nullptr;  // the last type met whose comparison with NoneType is by identity
    for (std::size_t i = skip_to_other_type(slots, 0, n_, plain); i < n_;
         i = skip_to_other_type(slots, i + 1, n_, plain)) {
      PyObject* item = slot(slots, i);
      if (!item) return 1;  // NumPy reads an empty slot as None
      PyTypeObject* t = Py_TYPE(item);
      if (reinterpret_cast<PyObject*>(t) == none_type) return 1;
      // A metaclass that keeps the comparison of `type` compares by identity without running code.
      if (Py_TYPE(t)->tp_richcompare == PyType_Type.tp_richcompare) {
        plain = t;
        continue;
      }
      // A comparison of its own, which can run any code: the element and its type are held while it
      // runs, as the loop would hold them, and the slots after it are read afresh.
      Ref held(new_ref(item));
      Ref type(new_ref(reinterpret_cast<PyObject*>(t)));
      int eq = PyObject_RichCompareBool(type.get(), none_type, Py_EQ);
      if (eq != 0) return eq;
    }
    return 0;
  }

  // The extremes and NaN presence of a number array, from one pass made when first asked for.
  const Extremes& extremes() noexcept {
    if (!fresh_) {
      if (n_ < kReleaseLockFrom) {
        ext_ = scan_extremes(elem_, view_.buf, n_);
      } else {
        Py_BEGIN_ALLOW_THREADS ext_ = scan_extremes(elem_, view_.buf, n_);
        Py_END_ALLOW_THREADS
      }
      fresh_ = true;
    }
    return ext_;
  }

  // Whether `extreme()` can stand for NumPy's reduction: always for a number array; for an object array
  // when all its elements are Python ints (exact `int`, within 64 bits), whose comparisons run no
  // Python code. Those are then found as NumPy's object reduction finds them: from the first element
  // on, the minimum is kept while `minimum <= x` (the maximum while `maximum >= x`), else `x` takes its
  // place, so of equal elements the first is the result.
  bool native_extremes() noexcept {
    if (numbers()) return true;
    if (!objects() || not_ints_) return false;  // once found, NumPy's reduction is called from then on
    if (!fresh_) {
      obj_lo_.reset();
      obj_hi_.reset();
      const char* slots = static_cast<const char*>(view_.buf);
      long long lo = 0, hi = 0;
      PyObject *lo_item = nullptr, *hi_item = nullptr;
      for (std::size_t i = 0; i < n_; ++i) {
        PyObject* item = slot(slots, i);
        int overflow = 1;
        const long long v =
            item && PyLong_CheckExact(item) ? PyLong_AsLongLongAndOverflow(item, &overflow) : 0;
        if (overflow) {  // not an int, or too large
          not_ints_ = true;
          return false;
        }
        if (!lo_item) {
          lo = hi = v;
          lo_item = hi_item = item;
          continue;
        }
        if (!(lo <= v)) {
          lo = v;
          lo_item = item;
        }
        if (!(hi >= v)) {
          hi = v;
          hi_item = item;
        }
      }
      obj_lo_ = Ref::borrow(lo_item);
      obj_hi_ = Ref::borrow(hi_item);
      fresh_ = true;
    }
    return true;
  }

  // Python code may have run: the elements may have changed since the last pass.
  void forget_extremes() noexcept { fresh_ = false; }

  // `np.min(nd)` (or `np.max(nd)` when `high`), once `native_extremes()` holds: the element itself for
  // an object array, else the NumPy scalar NumPy returns (the dtype's scalar type made from the value).
  PyObject* extreme(bool high) noexcept {
    if (objects()) return new_ref(high ? obj_hi_.get() : obj_lo_.get());
    const Extremes& e = extremes();
    const Wide& w = high ? e.hi : e.lo;
    if (!dtype_) dtype_ = Ref(PyObject_GetAttr(nd_, n_dtype));
    if (!dtype_) return nullptr;
    Ref type(PyObject_GetAttr(dtype_.get(), n_type));
    if (!type) return nullptr;
    Ref value;
    switch (elem_.kind) {
      case ElemKind::Bool:
        value = Ref(new_ref(w.u ? Py_True : Py_False));
        break;
      case ElemKind::Signed:
        value = Ref(PyLong_FromLongLong(w.i));
        break;
      case ElemKind::Unsigned:
        value = Ref(PyLong_FromUnsignedLongLong(w.u));
        break;
      default:
        value = Ref(PyFloat_FromDouble(e.nan ? std::numeric_limits<double>::quiet_NaN() : w.f));
        break;
    }
    if (!value) return nullptr;
    return PyObject_CallOneArg(type.get(), value.get());
  }

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

// `type(item) == type(None)` for some item of `nd`: 1 found, 0 none, -1 error.
int contains_none(PyObject* nd) noexcept {
  PyObject* none_type = reinterpret_cast<PyObject*>(Py_TYPE(Py_None));
  Ref it(PyObject_GetIter(nd));
  if (!it) return -1;
  for (;;) {
    Ref item(PyIter_Next(it.get()));
    if (!item) return PyErr_Occurred() ? -1 : 0;
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(item.get()));
    if (t == none_type) return 1;
    if (Py_TYPE(t) == &PyType_Type) continue;  // plain classes compare by identity
    // Held: the comparison may run code that gives the item another class, dropping this one.
    Ref type(new_ref(t));
    int eq = PyObject_RichCompareBool(type.get(), none_type, Py_EQ);
    if (eq != 0) return eq;
  }
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
  Ref np_any(get_global(names::g_np));
  if (!np_any) return -1;
  Ref any(PyObject_GetAttr(np_any.get(), n_any));
  if (!any) return -1;
  Ref np_isnan(get_global(names::g_np));
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
  Ref np(get_global(names::g_np));
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
  PyObject* func_name = p[0];
  PyObject* parame_name = p[1];
  PyObject* value = p[2];
  PyObject* dtype = p[3];
  PyObject* allow_none = p[4];
  PyObject* allow_nan = p[5];

  Ref nd(item_at(value, 0));
  if (!nd) return error_at(def, kLineUnpack);
  Ref minvalue(item_at(value, 1));
  if (!minvalue) return error_at(def, kLineUnpack);
  Ref maxvalue(item_at(value, 2));
  if (!maxvalue) return error_at(def, kLineUnpack);

  {
    Ref np(get_global(names::g_np));
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

  Flat flat(nd.get(), nd_dtype.get());

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
