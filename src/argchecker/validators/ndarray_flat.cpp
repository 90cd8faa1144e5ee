#include "validators/ndarray_flat.h"

#include <cstring>
#include <limits>

#include "runtime/names.h"

namespace ac {
namespace ndarray {
namespace {

// Below this many elements a pass keeps the interpreter lock; longer ones let other threads run, as
// NumPy's own loops do.
constexpr std::size_t kReleaseLockFrom = 1 << 14;

Name n_dtype{"dtype"}, n_type{"type"}, n_kind{"kind"}, n_isbuiltin{"isbuiltin"};

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

}  // namespace

Flat::Flat(PyObject* nd, PyObject* dtype, bool exact) noexcept
    : nd_(nd), dtype_(Ref::borrow(dtype)), exact_(exact) {
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

Flat::~Flat() {
  if (held_) PyBuffer_Release(&view_);
}

int Flat::scan_for_none() const noexcept {
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

const Extremes& Flat::extremes() noexcept {
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

bool Flat::native_extremes() noexcept {
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
      const long long v = item && PyLong_CheckExact(item) ? PyLong_AsLongLongAndOverflow(item, &overflow) : 0;
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

PyObject* Flat::extreme(bool high) noexcept {
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

}  // namespace ndarray
}  // namespace ac
