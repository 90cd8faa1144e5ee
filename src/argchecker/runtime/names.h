// Interned attribute and global names, made once when the module executes.
#pragma once
#include <Python.h>

#include "runtime/ready.h"

namespace ac {

// A name declared anywhere as a static `Name` is interned in the first stage of the module's execution
// (runtime/ready.h). Until then `get()` is null; every use happens after that.
class Name : public Static {
  const char* text_;
  PyObject* obj_ = nullptr;
  PyObject* kwnames_ = nullptr;
  bool make_ready(PyObject* module_dict) noexcept override;

 public:
  explicit Name(const char* text) noexcept : Static(Stage::kNames), text_(text) {}
  PyObject* get() const noexcept { return obj_; }
  // The one-name keyword tuple `(name,)` for a vectorcall, made at first use and kept (borrowed), or
  // null with an error set.
  PyObject* kwnames() noexcept;
  operator PyObject*() const noexcept { return obj_; }
  const char* text() const noexcept { return text_; }
};

// A name the hot path reads through instances or classes (`rules`, `verify`, a class constant): a `Name`
// with a place of its own in each class's answers (runtime/cache/cache.h). Declared static, like `Name`;
// past kMax of them a name has no place (-1) and is always looked up in full.
class HotName : public Name {
 public:
  static constexpr int kMax = 24;
  explicit HotName(const char* text) noexcept;
  int index() const noexcept { return index_; }

 private:
  int index_;
};

// Names used by more than one folder, each named after its text (attributes and module globals alike).
namespace names {
extern HotName rules, arg_name, verify, ArgumentChecker, inspect, unwrapper;
// "tframe.utils.argchecker": the functions' __module__ and the module's name in sys.modules.
extern Name module_name;
extern Name append, format, dunder_name, lower, upper, strip, datetime, strptime, match, InvalidParamError,
    text, np, write_userlog, traceback, wraps, os, Timestamp, re, types, get_setting, to_datetime;
}  // namespace names

}  // namespace ac
