// The module's one function type: methods, closures, module functions and the decorator's wrapper.
// It binds as a method like a Python function, carries the attributes `functools.wraps` writes, and
// holds a closure's captured objects. The interpreter calls it through tp_call (so that a keyword
// mapping reaches it unpacked); the module's own calls enter its vectorcall directly (`call`).
#pragma once
#include <Python.h>

#include <initializer_list>

#include "runtime/compat.h"
#include "runtime/ref.h"

namespace ac {

struct Func;
struct FuncSpec;

// A function body: `params` holds one borrowed object per named parameter (defaults filled in);
// `varargs` is the tuple of extra positional arguments for a `*args` function, else null.
using Body = PyObject* (*)(Func* self, PyObject* const* params, PyObject* varargs);

enum class Style : unsigned char {
  Params,      // named parameters (with defaults), optionally *args
  Single,      // exactly one parameter, by position only
  NoKeywords,  // *args only, and no keyword argument at all
  Custom,      // the spec supplies its own vectorcall
};

constexpr int kMaxParams = 8;
constexpr int kCaptureSlots = 4;

struct FuncSpec {
  const char* name;      // __name__, and the name in argument errors
  const char* qualname;  // __qualname__
  const char* tb_name;   // traceback entry name: dotted path from the module, without <locals>
  int line;              // definition line, reported for argument errors
  Style style;
  const char* params[kMaxParams];  // named parameters, in order
  int nparams;
  bool varargs;
  // Names of the `*args` and `**kwargs` parameters, as introspection shows them. In the parameter
  // list they are written "*name" (which also sets varargs) and, for a Custom call, "**name", after
  // the named parameters. Unnamed: "args" for `*args`; a Custom call shows `*args, **kwargs`.
  const char* star_name = nullptr;
  const char* starstar_name = nullptr;
  Body body;
  vectorcallfunc custom_call;  // Style::Custom

  // Filled in when the module executes.
  PyObject* name_obj = nullptr;
  PyObject* qualname_obj = nullptr;
  PyObject* param_objs[kMaxParams] = {};

  FuncSpec(const char* name_, const char* qualname_, const char* tb_name_, int line_, Style style_,
           std::initializer_list<const char*> params_, bool varargs_, Body body_,
           vectorcallfunc custom = nullptr) noexcept;
  FuncSpec(const FuncSpec&) = delete;
  FuncSpec& operator=(const FuncSpec&) = delete;
};

// Interns the names of every FuncSpec. False with an exception set on failure.
bool prepare_all_specs() noexcept;

struct Func {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncSpec* spec;
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

// A new function for `spec`; `captures` become its captured slots (borrowed, new references taken).
PyObject* make_function(const FuncSpec& spec, std::initializer_list<PyObject*> captures = {},
                        PyObject* defaults = nullptr) noexcept;

inline bool is_func(PyObject* o) noexcept { return Py_TYPE(o) == &FuncType; }

// `callable(*args, **kwnames)` as a vectorcall; a function of the module's own is entered directly.
inline PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  if (is_func(callable)) return reinterpret_cast<Func*>(callable)->vectorcall(callable, args, nargsf, kwnames);
  return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

// `args[0].<name>(*args[1:])`, as PyObject_VectorcallMethod does it, through `call`.
inline PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  PyObject* raw;
  const int unbound = compat::get_method(args[0], name, &raw);
  if (!raw) return nullptr;
  Ref method(raw);
  if (unbound) return call(method.get(), args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
  // The self slot becomes the slot in front of the arguments, which the callee may use.
  return call(method.get(), args + 1, nargsf - 1, kwnames);
}

// Parses a vectorcall into `params` (borrowed) and `varargs` (new tuple or null) by `f`'s spec.
// Returns false with TypeError set and the traceback entry added.
bool parse_arguments(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** params, PyObject** varargs) noexcept;

// "%.200s() keywords must be strings" unless every name in `kwnames` is a str. False with the error set.
bool check_keyword_strings(const char* func_name, PyObject* kwnames) noexcept;

}  // namespace ac
