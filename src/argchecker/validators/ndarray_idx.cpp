// ArgumentChecker.check_ndarray_idx: an index array with its bounds, `(nd, minvalue, maxvalue)`.
//
// Every NumPy facility is reached through the module global `np`, looked up at each use. Two pieces of
// work are skipped when their outcome is fixed and nothing can observe them:
// - the scan for `None` elements, when the flattened array is an exact `numpy.ndarray` whose dtype is
//   one of NumPy's own non-object dtypes (iterating it yields NumPy scalars, never `None`);
// - `np.any(np.isnan(nd))`, when additionally the dtype is a boolean or integer one and the module
//   global `np`, its `isnan` and its `any` are still the very objects of the NumPy that the module
//   imported at load (for those dtypes `isnan` is all false, and no override can run).
// The NumPy objects kept below serve only to recognise those objects by identity.
#include <Python.h>

#include "host/globals.h"
#include "runtime/compare.h"
#include "runtime/failure.h"
#include "runtime/function.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"

namespace ac {
namespace {

const char kTb[] = "tframe.utils.argchecker.ArgumentChecker.check_ndarray_idx";

constexpr int kLineDef = 396;
constexpr int kLineWrap = 395;
constexpr int kLineUnpack = 397;
constexpr int kLineIsArray = 398;
constexpr int kLineRaiseArray = 399;
constexpr int kLineRavel = 400;
constexpr int kLineSize = 401;
constexpr int kLineRaiseSize = 402;
constexpr int kLineDtype = 403;
constexpr int kLineRaiseDtype = 404;
constexpr int kLineAllowNone = 405;
constexpr int kLineNoneScan = 407;
constexpr int kLineRaiseNone = 408;
constexpr int kLineNan = 409;
constexpr int kLineRaiseNan = 410;
constexpr int kLineMin = 411;
constexpr int kLineRaiseMin = 412;
constexpr int kLineMax = 413;
constexpr int kLineRaiseMax = 414;

Name n_int32{"int32"}, n_ndarray{"ndarray"}, n_ravel{"ravel"}, n_size{"size"}, n_dtype{"dtype"},
    n_isnan{"isnan"}, n_any{"any"}, n_min{"min"}, n_max{"max"}, n_kind{"kind"}, n_isbuiltin{"isbuiltin"};
Name k_ndarray{"ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NDARRAY_ERROR"},
    k_error0{"ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR0"},
    k_dtype{"ARGCHECKER_INVALID_PARAM_NDARRAYIDX_DTYPE_ERROR"},
    k_none{"ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NONE_ERROR"},
    k_nan{"ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NAN_ERROR"},
    k_error1{"ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR1"},
    k_error2{"ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR2"};

// The NumPy the module imported at load, and its own `ndarray`, `isnan` and `any` (strong references,
// for identity tests only). All null when the module global `np` was not a real NumPy at that moment.
struct RealNumpy {
  PyObject* module = nullptr;
  PyObject* ndarray = nullptr;
  PyObject* isnan = nullptr;
  PyObject* any = nullptr;
};
RealNumpy g_numpy;

void forget_numpy() noexcept {
  Py_CLEAR(g_numpy.module);
  Py_CLEAR(g_numpy.ndarray);
  Py_CLEAR(g_numpy.isnan);
  Py_CLEAR(g_numpy.any);
}

// Recognises `np` as the NumPy package itself and keeps the identity references. Never fails: anything
// unexpected just leaves the shortcuts off.
void remember_numpy(PyObject* np) noexcept {
  forget_numpy();
  if (!PyModule_CheckExact(np)) return;
  PyObject* name = PyModule_GetNameObject(np);
  if (!name) {
    PyErr_Clear();
    return;
  }
  const bool is_numpy = PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "numpy") == 0;
  Py_DECREF(name);
  if (!is_numpy) return;
  PyObject* d = PyModule_GetDict(np);  // borrowed; plain dict reads run no Python code
  PyObject* ndarray = PyDict_GetItemWithError(d, n_ndarray);
  PyObject* isnan = ndarray ? PyDict_GetItemWithError(d, n_isnan) : nullptr;
  PyObject* any = isnan ? PyDict_GetItemWithError(d, n_any) : nullptr;
  if (!any || !PyType_Check(ndarray)) {
    PyErr_Clear();
    return;
  }
  g_numpy.module = new_ref(np);
  g_numpy.ndarray = new_ref(ndarray);
  g_numpy.isnan = new_ref(isnan);
  g_numpy.any = new_ref(any);
}

// The defaults, built once when the class is created: (np.int32, False, False).
PyObject* make_defaults() noexcept {
  Ref np(get_global(names::g_np));
  if (!np) return nullptr;
  Ref int32(PyObject_GetAttr(np.get(), n_int32));
  if (!int32) return nullptr;
  remember_numpy(np.get());
  return PyTuple_Pack(3, int32.get(), Py_False, Py_False);
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
  if (!PyUnicode_Check(kind.get()) || PyUnicode_GET_LENGTH(kind.get()) != 1 || !PyLong_CheckExact(builtin.get()))
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

// `np.<name>(arg)` with the module global looked up now.
PyObject* call_np(PyObject* name, PyObject* arg) noexcept {
  Ref np(get_global(names::g_np));
  if (!np) return nullptr;
  Ref f(PyObject_GetAttr(np.get(), name));
  if (!f) return nullptr;
  return PyObject_CallOneArg(f.get(), arg);
}

// `np.<name>(nd) <op> bound`: 1, 0 or -1.
int np_compare(PyObject* name, PyObject* nd, PyObject* bound, int op) noexcept {
  Ref r(call_np(name, nd));
  if (!r) return -1;
  return compare_truth(r.get(), bound, op);
}

// `np.any(np.isnan(nd))`, in the interpreter's order of lookups: 1, 0 or -1. Skipped (0) when the
// outcome is fixed and unobservable, see the top of the file.
int has_nan(PyObject* nd, bool exact_never_nan) noexcept {
  Ref np_any(get_global(names::g_np));
  if (!np_any) return -1;
  Ref any(PyObject_GetAttr(np_any.get(), n_any));
  if (!any) return -1;
  Ref np_isnan(get_global(names::g_np));
  if (!np_isnan) return -1;
  Ref isnan(PyObject_GetAttr(np_isnan.get(), n_isnan));
  if (!isnan) return -1;
  if (exact_never_nan && np_any.get() == g_numpy.module && np_isnan.get() == g_numpy.module &&
      any.get() == g_numpy.any && isnan.get() == g_numpy.isnan)
    return 0;
  Ref mask(PyObject_CallOneArg(isnan.get(), nd));
  if (!mask) return -1;
  Ref r(PyObject_CallOneArg(any.get(), mask.get()));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

PyObject* check_ndarray_idx(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* func_name = p[0];
  PyObject* parame_name = p[1];
  PyObject* value = p[2];
  PyObject* dtype = p[3];
  PyObject* allow_none = p[4];
  PyObject* allow_nan = p[5];

  Ref nd(item_at(value, 0));
  if (!nd) return tb_error(kTb, kLineUnpack);
  Ref minvalue(item_at(value, 1));
  if (!minvalue) return tb_error(kTb, kLineUnpack);
  Ref maxvalue(item_at(value, 2));
  if (!maxvalue) return tb_error(kTb, kLineUnpack);

  {
    Ref np(get_global(names::g_np));
    if (!np) return tb_error(kTb, kLineIsArray);
    Ref ndarray(PyObject_GetAttr(np.get(), n_ndarray));
    if (!ndarray) return tb_error(kTb, kLineIsArray);
    int ok = PyObject_IsInstance(nd.get(), ndarray.get());
    if (ok < 0) return tb_error(kTb, kLineIsArray);
    if (!ok) {
      raise_failure(k_ndarray, [&](FmtArgs& a) {
        return a.add_borrowed(func_name) && a.add_borrowed(parame_name) && a.add_type_of(nd.get());
      });
      return tb_error(kTb, kLineRaiseArray);
    }
  }

  Ref flat(PyObject_CallMethodNoArgs(nd.get(), n_ravel));
  if (!flat) return tb_error(kTb, kLineRavel);
  nd = std::move(flat);

  {
    Ref size(PyObject_GetAttr(nd.get(), n_size));
    if (!size) return tb_error(kTb, kLineSize);
    Ref one(PyLong_FromLong(1));
    if (!one) return tb_error(kTb, kLineSize);
    Ref lt(PyObject_RichCompare(size.get(), one.get(), Py_LT));
    int empty = lt ? PyObject_IsTrue(lt.get()) : -1;
    if (empty < 0) return tb_error(kTb, kLineSize);
    if (empty) {
      raise_failure(k_error0, [&](FmtArgs& a) {
        return a.add_borrowed(func_name) && a.add_borrowed(parame_name);
      });
      return tb_error(kTb, kLineRaiseSize);
    }
  }

  Ref nd_dtype;
  if (dtype != Py_None) {
    nd_dtype = Ref(PyObject_GetAttr(nd.get(), n_dtype));
    if (!nd_dtype) return tb_error(kTb, kLineDtype);
    Ref ne(PyObject_RichCompare(nd_dtype.get(), dtype, Py_NE));
    int differs = ne ? PyObject_IsTrue(ne.get()) : -1;
    if (differs < 0) return tb_error(kTb, kLineDtype);
    if (differs) {
      raise_failure(k_dtype, [&](FmtArgs& a) {
        if (!a.add_borrowed(func_name) || !a.add_borrowed(parame_name) || !a.add(PyObject_Str(dtype)))
          return false;
        Ref actual(PyObject_GetAttr(nd.get(), n_dtype));
        return actual && a.add(PyObject_Str(actual.get()));
      });
      return tb_error(kTb, kLineRaiseDtype);
    }
  }

  // Only an exact ndarray of NumPy's own (not a subclass) lets the shortcuts know what its elements are.
  DtypeTraits traits;
  const bool exact = g_numpy.ndarray && Py_TYPE(nd.get()) == reinterpret_cast<PyTypeObject*>(g_numpy.ndarray);
  if (exact) {
    if (!nd_dtype) nd_dtype = Ref(PyObject_GetAttr(nd.get(), n_dtype));
    if (nd_dtype) {
      classify_dtype(nd_dtype.get(), &traits);
    } else {
      PyErr_Clear();
    }
  }

  int allowed = PyObject_IsTrue(allow_none);
  if (allowed < 0) return tb_error(kTb, kLineAllowNone);
  if (!allowed && !(exact && traits.never_none)) {
    int found = contains_none(nd.get());
    if (found < 0) return tb_error(kTb, kLineNoneScan);
    if (found) {
      raise_failure(k_none, [&](FmtArgs& a) {
        return a.add_borrowed(func_name) && a.add_borrowed(parame_name);
      });
      return tb_error(kTb, kLineRaiseNone);
    }
  }

  allowed = PyObject_IsTrue(allow_nan);
  if (allowed < 0) return tb_error(kTb, kLineNan);
  if (!allowed) {
    int nan = has_nan(nd.get(), exact && traits.never_nan);
    if (nan < 0) return tb_error(kTb, kLineNan);
    if (nan) {
      raise_failure(k_nan, [&](FmtArgs& a) {
        return a.add_borrowed(func_name) && a.add_borrowed(parame_name);
      });
      return tb_error(kTb, kLineRaiseNan);
    }
  }

  if (minvalue.get() != Py_None) {
    int below = np_compare(n_min, nd.get(), minvalue.get(), Py_LT);
    if (below < 0) return tb_error(kTb, kLineMin);
    if (below) {
      raise_failure(k_error1, [&](FmtArgs& a) {
        return a.add_borrowed(func_name) && a.add_borrowed(parame_name) && a.add_borrowed(minvalue.get());
      });
      return tb_error(kTb, kLineRaiseMin);
    }
  }

  if (maxvalue.get() != Py_None) {
    int above = np_compare(n_max, nd.get(), maxvalue.get(), Py_GE);
    if (above < 0) return tb_error(kTb, kLineMax);
    if (above) {
      raise_failure(k_error2, [&](FmtArgs& a) {
        return a.add_borrowed(func_name) && a.add_borrowed(parame_name) && a.add_borrowed(maxvalue.get());
      });
      return tb_error(kTb, kLineRaiseMax);
    }
  }
  Py_RETURN_NONE;
}

FuncSpec check_ndarray_idx_spec{"check_ndarray_idx", "ArgumentChecker.check_ndarray_idx", kTb, kLineDef,
                                Style::Params,
                                {"func_name", "parame_name", "value", "dtype", "allow_none", "allow_nan"},
                                false, check_ndarray_idx};

MemberRegistrar reg_check_ndarray_idx{Member{34, "check_ndarray_idx", Kind::Static, &check_ndarray_idx_spec,
                                             kLineDef, kLineWrap, make_defaults}};

}  // namespace
}  // namespace ac
