// Raising rule failures and running code inside an `except` clause.
#pragma once
#include <Python.h>

#include <initializer_list>

#include "runtime/globals.h"
#include "runtime/names.h"
#include "runtime/portable.h"  // AC_COLD, AC_NOINLINE: the files that raise failures mark their failure paths
#include "runtime/ref.h"

namespace ac {

// `raise exc`: raises an exception instance (or class) with the interpreter's rules. Returns null.
PyObject* raise_object(PyObject* exc) noexcept;
// `raise cls(message)`. Returns null.
PyObject* raise_with_message(PyObject* cls, PyObject* message) noexcept;

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
  static MsgArg str_of_attr(PyObject* obj, PyObject* name) noexcept { return MsgArg(kStrOfAttr, obj, name); }
  static MsgArg repr_of_attr(PyObject* obj, PyObject* name) noexcept {
    return MsgArg(kReprOfAttr, obj, name);
  }
  static MsgArg integer(long v) noexcept {
    MsgArg a(kInteger, nullptr, nullptr);
    a.integer_ = v;
    return a;
  }
  // The argument's value: a new reference, or null with an error set.
  PyObject* read() const noexcept;

 private:
  enum Kind : unsigned char { kObject, kAttr, kTypeOf, kRepr, kStr, kStrOfAttr, kReprOfAttr, kInteger };
  MsgArg(Kind k, PyObject* obj, PyObject* name) noexcept : kind_(k), obj_(obj), name_(name) {}
  Kind kind_;
  PyObject* obj_;
  PyObject* name_ = nullptr;
  long integer_ = 0;
};

// The one way out of a failed check: raises `InvalidParamError(text.<key>.format(*args))`, looking up
// the module global `InvalidParamError`, then `text`, the key, its `format`, then reading the
// arguments; adds the traceback entry of `def` at `line` and returns null.
PyObject* fail(const FuncDef& def, int line, PyObject* key, std::initializer_list<MsgArg> args) noexcept;
// The message most rules raise: func_name, checker.arg_name, value, type(value).
PyObject* fail_value(const FuncDef& def, int line, PyObject* key, PyObject* func_name, PyObject* checker,
                     PyObject* value) noexcept;
// The builtin `ValueError(text.<key>.format(*args))`: `text`, the key, `format`, then the arguments.
PyObject* fail_value_error(const FuncDef& def, int line, PyObject* key,
                           std::initializer_list<MsgArg> args) noexcept;
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
