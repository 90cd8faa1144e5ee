// Raising rule failures and running code inside an `except` clause.
#pragma once
#include <Python.h>

#include "host/globals.h"
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
