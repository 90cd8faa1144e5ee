// A function of the module as its `def` line reads: name, line, parameters with their defaults and
// annotations, and the body that runs. Each definition is a static; the module makes it ready when it
// executes (runtime/ready.h), and func/function.h makes functions of it.
#pragma once
#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "runtime/ready.h"

namespace ac {

struct Func;

// A function body: `params` holds one borrowed object per named parameter (defaults filled in);
// `varargs` is the tuple of extra positional arguments for a `*args` function, else null.
using Body = PyObject* (*)(Func * self, PyObject* const* params, PyObject* varargs);

// A body's first N parameters under names of its own: `const auto [self, value] = params<2>(p);`.
template <std::size_t N>
std::array<PyObject*, N> params(PyObject* const* p) noexcept {
  std::array<PyObject*, N> named{};
  for (std::size_t i = 0; i < N; ++i) named[i] = p[i];
  return named;
}

enum class Style : unsigned char {
  Params,      // named parameters (with defaults), optionally *args
  Single,      // exactly one parameter, by position only
  NoKeywords,  // *args only, and no keyword argument at all
  Custom,      // the definition supplies its own vectorcall
};

// The most named parameters a function may have: the argument parser's buffer. A definition with more
// fails the module's load.
constexpr int kMaxParams = 8;

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
struct FuncDef final : Static {
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
  // Interns the names and checks the parameters against the argument parser's limits.
  bool make_ready(PyObject* module_dict) noexcept override;
};

}  // namespace ac
