// Binding an API call's arguments to the parameter names of the function it reaches.
#pragma once
#include <Python.h>

#include "runtime/func/function.h"
#include "runtime/ref.h"

namespace ac {

// The bound arguments of one call: what `inspect.getcallargs(unwrapper(func), *args, **kwargs)` returns,
// read by parameter name.
//
// While the module global `inspect` hands out the standard getcallargs and the unwrapped callable is a
// plain Python function, the call is bound natively by getcallargs's own rules: the binding is checked
// in full first (a call that does not bind goes to the real getcallargs, so its error is exactly the one
// it raises) and recorded, defaults included, as they are at that moment; each name is then resolved
// from that record when a checker asks for it, and a key that is not an exact str is looked up in the
// mapping built from the same record. Everything else is bound by the real getcallargs, and names are
// looked up in its mapping.
class CallArgs {
 public:
  static constexpr int kMaxNamed = 32;

  CallArgs() = default;
  CallArgs(const CallArgs&) = delete;
  CallArgs& operator=(const CallArgs&) = delete;

  // False with an error set when binding fails.
  bool bind(Func* wrapper, PyObject* func, PyObject* const* args, Py_ssize_t nargs,
            PyObject* kwnames) noexcept;

  // `call_args[key]`: a new reference, or null with an error set (KeyError for a name that is not a
  // parameter).
  PyObject* get(PyObject* key) noexcept;

 private:
  bool bind_lazily() noexcept;  // false: the call does not bind, defer to getcallargs
  PyObject* materialize() noexcept;

  Ref mapping_;  // the full mapping, once built
  // The natively bound call.
  Ref target_, layout_, defaults_;
  PyObject* const* args_ = nullptr;
  Py_ssize_t nargs_ = 0;
  PyObject* kwnames_ = nullptr;
  bool lazy_ = false;
  int src_[kMaxNamed];           // per named parameter: index into the call's values, or a default marker
  Ref kwdefaults_;               // keyword-only defaults taken when binding, by keyword-only position
  Ref var_value_, varkw_value_;  // *args and **kwargs, made once when first asked for
};

}  // namespace ac
