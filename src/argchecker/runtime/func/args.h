// The argument parser: how a call's positional arguments and keywords are matched to a definition's
// parameters, with the interpreter's texts for every way a call can fail to bind. The decorator's
// binder matches keywords to a target's parameter names with the same `find_name`.
#pragma once
#include <Python.h>

#include <vector>

#include "runtime/func/function.h"

namespace ac {

// Equality of two str objects, as the interpreter matches keyword names.
inline bool same_name(PyObject* a, PyObject* b) noexcept {
  return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

// Index of the str `name` in the tuple `names`, or -1: first by identity (a call site passes the
// interned names of the code it calls), then by value; an entry that is not a str never matches.
inline Py_ssize_t find_name(PyObject* names, PyObject* name) noexcept {
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyTuple_GET_ITEM(names, i) == name) return i;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* p = PyTuple_GET_ITEM(names, i);
    if (PyUnicode_Check(p) && same_name(p, name)) return i;
  }
  return -1;
}

// The TypeError of a call whose keyword names are not all str objects. Returns false.
bool keywords_must_be_strings(const char* func_name) noexcept;

// That TypeError unless every name in `kwnames` (or null) is a str.
bool check_keyword_strings(const char* func_name, PyObject* kwnames) noexcept;

// Parses a vectorcall into `params` (borrowed) and `varargs` (new tuple or null) by `f`'s definition.
// Returns false with TypeError set and the traceback entry added.
bool parse_arguments(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** params,
                     PyObject** varargs) noexcept;

// The argument array of a call the module makes: on the stack for a few, on the heap beyond.
class ArgArray {
 public:
  explicit ArgArray(Py_ssize_t n) : data_(small_) {
    if (n > kSmall) {
      large_.resize(static_cast<size_t>(n));
      data_ = large_.data();
    }
  }
  ArgArray(const ArgArray&) = delete;
  ArgArray& operator=(const ArgArray&) = delete;
  PyObject** data() noexcept { return data_; }
  PyObject*& operator[](Py_ssize_t i) noexcept { return data_[i]; }

 private:
  static constexpr Py_ssize_t kSmall = 16;
  PyObject* small_[kSmall];
  std::vector<PyObject*> large_;
  PyObject** data_;
};

}  // namespace ac
