// The module's one function type: methods, closures, module functions and the decorator's wrapper.
// It binds as a method like a Python function, carries the attributes `functools.wraps` writes, and
// holds a closure's captured objects. The interpreter calls it through tp_call (so that a keyword
// mapping reaches it unpacked); the module's own calls enter its vectorcall directly (`call`).
#pragma once
#include <Python.h>

#include <initializer_list>

#include "runtime/cache/cache.h"
#include "runtime/compat.h"
#include "runtime/func/def.h"
#include "runtime/portable.h"
#include "runtime/ref.h"

namespace ac {

constexpr int kCaptureSlots = 4;

// A function object: its definition, the attributes a Python function has, and a closure's captures.
struct Func {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FuncDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* dict;
  PyObject* defaults;     // tuple or null
  PyObject* kwdefaults;   // dict or null
  PyObject* annotations;  // dict or null
  PyObject* weakreflist;
  PyObject* cap[kCaptureSlots];  // captured objects of a closure
};

extern PyTypeObject FuncType;

bool func_type_ready() noexcept;

// A new function for `def`; `captures` become its captured slots (borrowed, new references taken).
PyObject* make_function(const FuncDef& def, std::initializer_list<PyObject*> captures = {},
                        PyObject* defaults = nullptr) noexcept;

inline bool is_func(PyObject* o) noexcept {
  return Py_TYPE(o) == &FuncType;
}

// A bound method of one of the module's functions, called with its `self` in front.
PyObject* call_bound_method(PyObject* method, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept;

// `callable(*args, **kwnames)` as a vectorcall; a function of the module's own (or a bound method of
// one, such as a rule appended as `self._is_valid_fq`) is entered directly.
AC_ALWAYS_INLINE PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) noexcept {
  if (is_func(callable))
    return reinterpret_cast<Func*>(callable)->vectorcall(callable, args, nargsf, kwnames);
  if (PyMethod_Check(callable) && is_func(PyMethod_GET_FUNCTION(callable)))
    return call_bound_method(callable, args, nargsf, kwnames);
  return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

// `args[0].<name>(*args[1:])`, as PyObject_VectorcallMethod does it, through `call`.
AC_ALWAYS_INLINE PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargsf,
                                       PyObject* kwnames) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  // The method lookup that skips the bound method is the interpreter's own here: a bound method would be
  // a new object at every call.
  return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
  PyObject* raw;
  const int unbound = compat::get_method(args[0], name, &raw);
  if (!raw) return nullptr;
  Ref method(raw);
  if (unbound) return call(method.get(), args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
  // The self slot becomes the slot in front of the arguments, which the callee may use.
  return call(method.get(), args + 1, nargsf - 1, kwnames);
#endif
}

// `call_method` for a method of the hot path, looked up through the classes' answers (see read_method).
AC_ALWAYS_INLINE PyObject* call_method(const HotName& name, PyObject* const* args, size_t nargsf,
                                       PyObject* kwnames) noexcept {
  PyObject* raw;
  const int unbound = read_method(args[0], name, &raw);
  if (!raw) return nullptr;
  Ref method(raw);
  if (unbound) return call(method.get(), args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
  return call(method.get(), args + 1, nargsf - 1, kwnames);
}

}  // namespace ac
