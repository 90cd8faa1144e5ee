// The rule contract: what every factory method shares. A factory makes one rule, appends it to the
// checker's `rules` and returns the checker; a rule is called with (func_name, value).
#pragma once
#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {

// The common tail of a factory: fetch `self.rules` now, append `rule` to it (a list append for an exact
// list, otherwise its `append` method), and return `self` (new reference). On error, adds the traceback
// entry of `factory` at `line` and returns null.
PyObject* append_rule(const FuncDef& factory, int line, PyObject* self, PyObject* rule) noexcept;

// `self.rules.append(self.<method>)`, a bound method as the rule: `rules` is fetched first, then the
// method, then appended. Returns `self` (new reference), or null with the entry of `factory` at `line`.
PyObject* append_method(const FuncDef& factory, int line, PyObject* self, PyObject* method) noexcept;

// The body of a factory: makes the closure `rule` over `captures` (the checker first), appends it to
// the checker's rules and returns the checker. A failure to make the closure is reported at the
// closure's definition line, a failure to append at `append_line`.
PyObject* add_rule(const FuncDef& factory, int append_line, const FuncDef& rule,
                   std::initializer_list<PyObject*> captures) noexcept;

// The body of a rule that hands its check to a worker method of the checker, `args[0]`, looked up at
// every check so that an override in a subclass or on the instance is the one run:
// `args[0].<worker>(*args[1:])`, whose result is the rule's. On error, adds the traceback entry of
// `rule` at `line` and returns null.
template <std::size_t N>
inline PyObject* call_worker(const FuncDef& rule, int line, const HotName& worker,
                             PyObject* (&args)[N]) noexcept {
  PyObject* r = call_method(worker, args, N | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!r) return error_at(rule, line);
  return r;
}

}  // namespace ac
