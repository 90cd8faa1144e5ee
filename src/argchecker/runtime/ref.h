// Owning reference to a Python object.
#pragma once
#include <Python.h>

namespace ac {

// Holds one strong reference; moves, never copies. `release()` hands the reference to the caller.
class Ref {
  PyObject* p_ = nullptr;

 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* b) noexcept {
    Py_XINCREF(b);
    return Ref(b);
  }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* t = p_;
    p_ = nullptr;
    return t;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = p_;
    p_ = owned;
    Py_XDECREF(old);
  }
};

inline PyObject* new_ref(PyObject* o) noexcept {
  Py_INCREF(o);
  return o;
}

}  // namespace ac
