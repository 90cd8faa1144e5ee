// The module's one function type: methods, closures, module functions and the decorator's wrapper.
// It binds as a method like a Python function, carries the attributes `functools.wraps` writes, and
// holds a closure's captured objects. The interpreter calls it through tp_call (so that a keyword
// mapping reaches it unpacked); the module's own calls enter its vectorcall directly (`call`).
#pragma once
#include <Python.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "runtime/cache/cache.h"
#include "runtime/compat.h"
#include "runtime/portable.h"
#include "runtime/ref.h"

namespace ac {

struct Func;
struct FuncDef;

// A function body: `params` holds one borrowed object per named parameter (defaults filled in);
// `varargs` is the tuple of extra positional arguments for a `*args` function, else null.
using Body = PyObject* (*)(Func * self, PyObject* const* params, PyObject* varargs);

enum class Style : unsigned char {
  Params,      // named parameters (with defaults), optionally *args
  Single,      // exactly one parameter, by position only
  NoKeywords,  // *args only, and no keyword argument at all
  Custom,      // the definition supplies its own vectorcall
};

// The most named parameters a function may have: the argument parser's buffer. A definition with more
// fails the module's load.
constexpr int kMaxParams = 8;
constexpr int kCaptureSlots = 4;

// A parameter's default value, made when the module executes.
struct Default {
  enum Kind : unsigned char { kNone, kTrue, kFalse, kStr, kGlobalAttr };
  Kind kind;
  const char* text = nullptr;  // kStr: the string; kGlobalAttr: the module global
  const char* attr = nullptr;  // kGlobalAttr: its attribute, read once while the class body runs
};
namespace dflt {
constexpr Default none{Default::kNone};
constexpr Default yes{Default::kTrue};
constexpr Default no{Default::kFalse};
constexpr Default str(const char* s) {
  return Default{Default::kStr, s};
}
constexpr Default global_attr(const char* global, const char* attr) {
  return Default{Default::kGlobalAttr, global, attr};
}
}  // namespace dflt

// A parameter's annotation, a string: `def f(params: "dict")`.
struct Annotation {
  const char* text;
};

// One parameter as a signature writes it: "name", {"name", default}, {"name", Annotation{"..."}},
// "*args", or "**kwargs".
struct Param {
  const char* name;
  bool has_default = false;
  Default value{Default::kNone};
  const char* annotation = nullptr;
  Param(const char* n) noexcept : name(n) {}  // NOLINT(google-explicit-constructor): reads as a signature
  Param(const char* n, Default d) noexcept : name(n), has_default(true), value(d) {}
  Param(const char* n, Annotation a) noexcept : name(n), annotation(a.text) {}
};

// One function of the module, declared once, as its `def` line reads:
//   const FuncDef CheckIsIn::def{"ArgumentChecker.is_in.<locals>.check_is_in", kLine,
//                                {"func_name", "value"}, check_is_in};
// `__name__` is the last part of the qualified name; the traceback entry names the dotted path from the
// module without "<locals>". A function with exactly one parameter takes it by position only; one with
// only `*args` takes no keyword at all.
struct FuncDef {
  FuncDef(const char* qualname, int line, std::initializer_list<Param> params, Body body) noexcept;
  // A function with a call of its own (it accepts anything, as far as introspection can tell).
  FuncDef(const char* qualname, int line, vectorcallfunc call) noexcept;
  FuncDef(const FuncDef&) = delete;
  FuncDef& operator=(const FuncDef&) = delete;

  const char* qualname;  // __qualname__
  const char* name;      // __name__, and the name in argument errors
  const char* tb_name;   // traceback entry name
  int line;              // definition line, reported for argument errors
  Style style = Style::Params;
  std::vector<const char*> params;  // named parameters, in order
  std::vector<Default> defaults;    // of the last parameters, in order
  int nparams = 0;
  bool varargs = false;
  // The argument count of a call that needs no parsing (every named parameter by position, no
  // `*args`), or -1.
  Py_ssize_t exact_nargs = -1;
  // Names of the `*args` and `**kwargs` parameters, as introspection shows them, or null.
  const char* star_name = nullptr;
  const char* starstar_name = nullptr;
  Body body = nullptr;
  vectorcallfunc custom_call = nullptr;  // Style::Custom

  // (parameter, annotation) pairs, in order.
  std::vector<std::pair<const char*, const char*>> annotations;

  // The defaults tuple (new reference), or null without an error when there are none; null with an
  // error set when making one fails.
  PyObject* make_defaults(PyObject* module_dict) const noexcept;
  // The annotations dict, likewise.
  PyObject* make_annotations() const noexcept;

  // Filled in when the module executes.
  PyObject* name_obj = nullptr;
  PyObject* qualname_obj = nullptr;
  PyObject* param_objs[kMaxParams] = {};

 private:
  std::string tb_storage_;
  void finish() noexcept;
};

// Interns the names of every FuncDef and checks each against the parser's limits. False with an
// exception set on failure.
bool prepare_all_defs() noexcept;

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

// Parses a vectorcall into `params` (borrowed) and `varargs` (new tuple or null) by `f`'s definition.
// Returns false with TypeError set and the traceback entry added.
bool parse_arguments(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** params,
                     PyObject** varargs) noexcept;

// "%.200s() keywords must be strings" unless every name in `kwnames` is a str. False with the error set.
bool check_keyword_strings(const char* func_name, PyObject* kwnames) noexcept;

}  // namespace ac
