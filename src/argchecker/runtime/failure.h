// Raising rule failures and running code inside an `except` clause.
#pragma once
#include <Python.h>

#include <initializer_list>

#include "runtime/globals.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {

// The positional arguments of one message, owned.
class FmtArgs {
 public:
  static constexpr int kMax = 6;
  FmtArgs() = default;
  FmtArgs(const FmtArgs&) = delete;
  FmtArgs& operator=(const FmtArgs&) = delete;
  ~FmtArgs() {
    for (int i = 0; i < n_; ++i) Py_DECREF(v_[i]);
  }
  // Takes a new reference; false when it is null (an error is then pending).
  bool add(PyObject* owned) noexcept {
    if (!owned) return false;
    v_[n_++] = owned;
    return true;
  }
  bool add_borrowed(PyObject* b) noexcept {
    Py_INCREF(b);
    v_[n_++] = b;
    return true;
  }
  // `obj.<name>`, read now.
  bool add_attr(PyObject* obj, PyObject* name) noexcept { return add(PyObject_GetAttr(obj, name)); }
  bool add_type_of(PyObject* value) noexcept { return add_borrowed(reinterpret_cast<PyObject*>(Py_TYPE(value))); }
  bool add_repr(PyObject* obj) noexcept { return add(PyObject_Repr(obj)); }
  PyObject* const* data() const noexcept { return v_; }
  int size() const noexcept { return n_; }

 private:
  PyObject* v_[kMax];
  int n_ = 0;
};

// `raise exc`: raises an exception instance (or class) with the interpreter's rules. Returns null.
PyObject* raise_object(PyObject* exc) noexcept;
// `raise cls(message)`. Returns null.
PyObject* raise_with_message(PyObject* cls, PyObject* message) noexcept;

// The common failure of every rule: `raise InvalidParamError(text.<key>.format(*args))`, with the
// lookups in this order: `InvalidParamError`, `text`, the key, its `format`, then the arguments, which
// `fill(FmtArgs&)` reads at that moment (returning false with an error set when a read fails).
// Always returns null with an exception set.
template <class Fill>
PyObject* raise_failure(PyObject* key, Fill&& fill) noexcept {
  Ref cls(get_global(names::g_InvalidParamError));
  if (!cls) return nullptr;
  Ref txt(get_global(names::g_text));
  if (!txt) return nullptr;
  Ref tpl(PyObject_GetAttr(txt.get(), key));
  if (!tpl) return nullptr;
  Ref fmt(PyObject_GetAttr(tpl.get(), names::format));
  if (!fmt) return nullptr;
  FmtArgs args;
  if (!fill(args)) return nullptr;
  Ref msg(PyObject_Vectorcall(fmt.get(), args.data(), static_cast<size_t>(args.size()), nullptr));
  if (!msg) return nullptr;
  return raise_with_message(cls.get(), msg.get());
}

struct FuncDef;

// One argument of a failure message, read when the message is built: after the exception class,
// `text`, the key and its `format` have been looked up, in the order given.
class MsgArg {
 public:
  MsgArg(PyObject* obj) noexcept : kind_(kObject), obj_(obj) {}  // NOLINT(google-explicit-constructor)
  static MsgArg arg_name(PyObject* checker) noexcept { return MsgArg(kAttr, checker, names::arg_name); }
  static MsgArg attr(PyObject* obj, PyObject* name) noexcept { return MsgArg(kAttr, obj, name); }
  static MsgArg type_of(PyObject* value) noexcept { return MsgArg(kTypeOf, value, nullptr); }
  static MsgArg repr(PyObject* obj) noexcept { return MsgArg(kRepr, obj, nullptr); }
  static MsgArg str(PyObject* obj) noexcept { return MsgArg(kStr, obj, nullptr); }
  // The argument's value: a new reference, or null with an error set.
  PyObject* read() const noexcept;

 private:
  enum Kind : unsigned char { kObject, kAttr, kTypeOf, kRepr, kStr };
  MsgArg(Kind k, PyObject* obj, PyObject* name) noexcept : kind_(k), obj_(obj), name_(name) {}
  Kind kind_;
  PyObject* obj_;
  PyObject* name_ = nullptr;
};

// The one way out of a failed check: raises `InvalidParamError(text.<key>.format(*args))`, looking up
// the module global `InvalidParamError`, then `text`, the key, its `format`, then reading the
// arguments; adds the traceback entry of `def` at `line` and returns null.
PyObject* fail(const FuncDef& def, int line, PyObject* key, std::initializer_list<MsgArg> args) noexcept;
// The message most rules raise: func_name, checker.arg_name, value, type(value).
PyObject* fail_value(const FuncDef& def, int line, PyObject* key, PyObject* func_name, PyObject* checker,
                     PyObject* value) noexcept;
// The builtin `ValueError(text.<key>.format(*args))`: `text`, the key, `format`, then the arguments.
PyObject* fail_value_error(const FuncDef& def, int line, PyObject* key, std::initializer_list<MsgArg> args) noexcept;
// A finished text used as it stands: `cls(text.<key>)`, with `InvalidParamError` looked up first when
// `cls` is null, else the builtin class given.
PyObject* fail_text(const FuncDef& def, int line, PyObject* key, PyObject* cls = nullptr) noexcept;
// `InvalidParamError(message)` with a message the module made itself.
PyObject* fail_message(const FuncDef& def, int line, PyObject* message) noexcept;
// `text.<key>`, with `text` looked up now: a new reference, or null with an error set.
PyObject* text_of(PyObject* key) noexcept;
// An error already set leaves `def` at `line`: adds the traceback entry and returns null.
PyObject* error_at(const FuncDef& def, int line) noexcept;

// An exception taken off the error indicator, normalised, with its traceback attached.
class Caught {
 public:
  Caught() noexcept;
  ~Caught();
  Caught(const Caught&) = delete;
  Caught& operator=(const Caught&) = delete;
  PyObject* type() const noexcept { return type_; }
  PyObject* value() const noexcept { return value_; }
  // `isinstance` test of an `except cls:` clause.
  bool matches(PyObject* cls) const noexcept { return PyErr_GivenExceptionMatches(type_, cls) != 0; }
  // Puts the exception back on the error indicator (it passes on). Returns null.
  PyObject* restore() noexcept;

 private:
  PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

// Runs `block()` as the body of an `except` clause that caught `c`: while it runs, `c` is the exception
// being handled (`sys.exc_info()`, `traceback.format_exc()`, the context of a new exception); the
// previously handled exception is restored afterwards.
template <class Block>
auto in_except(Caught& c, Block&& block) noexcept -> decltype(block()) {
  PyObject *pt, *pv, *ptb;
  PyErr_GetExcInfo(&pt, &pv, &ptb);
  Py_XINCREF(c.type());
  Py_XINCREF(c.value());
  PyObject* tb = c.value() ? PyException_GetTraceback(c.value()) : nullptr;
  PyErr_SetExcInfo(c.type(), c.value(), tb);
  auto result = block();
  PyErr_SetExcInfo(pt, pv, ptb);
  return result;
}

}  // namespace ac
