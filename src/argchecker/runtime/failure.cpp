#include "runtime/failure.h"

namespace ac {

PyObject* raise_object(PyObject* exc) noexcept {
  if (PyExceptionInstance_Check(exc)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  } else if (PyExceptionClass_Check(exc)) {
    Ref inst(PyObject_CallNoArgs(exc));
    if (!inst) return nullptr;
    if (!PyExceptionInstance_Check(inst.get())) {
      PyErr_Format(PyExc_TypeError,
                   "calling %R should have returned an instance of BaseException, not %s", exc,
                   Py_TYPE(inst.get())->tp_name);
      return nullptr;
    }
    PyErr_SetObject(exc, inst.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return nullptr;
}

PyObject* raise_with_message(PyObject* cls, PyObject* message) noexcept {
  PyObject* arg = message;
  Ref exc(PyObject_Vectorcall(cls, &arg, 1, nullptr));
  if (!exc) return nullptr;
  return raise_object(exc.get());
}

Caught::Caught() noexcept {
  PyErr_Fetch(&type_, &value_, &tb_);
  PyErr_NormalizeException(&type_, &value_, &tb_);
  if (value_ && tb_) PyException_SetTraceback(value_, tb_);
}

Caught::~Caught() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(tb_);
}

PyObject* Caught::restore() noexcept {
  PyErr_Restore(type_, value_, tb_);
  type_ = value_ = tb_ = nullptr;
  return nullptr;
}

}  // namespace ac
