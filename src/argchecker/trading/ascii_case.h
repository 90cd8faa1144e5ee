// Case-insensitive membership without building the case-mapped string, for the case where nothing can
// tell the difference: the value is an exact ASCII `str` (its `lower`/`upper` is the built-in one and
// maps A-Z/a-z only) and the container is an exact tuple or list of exact `str` items (the membership
// test then runs no Python code).
#pragma once
#include <Python.h>

namespace ac::trading {

enum class Case : unsigned char { Lower, Upper };

inline bool is_exact_ascii(PyObject* s) noexcept {
  return PyUnicode_CheckExact(s) && PyUnicode_IS_READY(s) && PyUnicode_IS_ASCII(s);
}

// `value.<lower|upper>() == item` for an exact ASCII `value` and an exact, ready `item`.
inline bool ascii_mapped_equals(PyObject* value, PyObject* item, Case c) noexcept {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
  if (!PyUnicode_IS_ASCII(item) || PyUnicode_GET_LENGTH(item) != n) return false;
  const Py_UCS1* v = PyUnicode_1BYTE_DATA(value);
  const Py_UCS1* t = PyUnicode_1BYTE_DATA(item);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS1 ch = v[i];
    if (c == Case::Lower) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<Py_UCS1>(ch + ('a' - 'A'));
    } else {
      if (ch >= 'a' && ch <= 'z') ch = static_cast<Py_UCS1>(ch - ('a' - 'A'));
    }
    if (ch != t[i]) return false;
  }
  return true;
}

// True when `seq` is an exact tuple or list whose items are all exact, ready `str` objects.
inline bool is_plain_str_sequence(PyObject* seq) noexcept {
  if (!PyTuple_CheckExact(seq) && !PyList_CheckExact(seq)) return false;
  PyObject** items = PySequence_Fast_ITEMS(seq);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyUnicode_CheckExact(items[i]) || !PyUnicode_IS_READY(items[i])) return false;
  }
  return true;
}

// `value.<lower|upper>() in seq`: 1 or 0, or -1 when the shortcut does not apply and the caller must
// call the method and test membership the ordinary way.
inline int ascii_mapped_contains(PyObject* seq, PyObject* value, Case c) noexcept {
  if (!is_exact_ascii(value) || !is_plain_str_sequence(seq)) return -1;
  PyObject** items = PySequence_Fast_ITEMS(seq);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (ascii_mapped_equals(value, items[i], c)) return 1;
  }
  return 0;
}

}  // namespace ac::trading
