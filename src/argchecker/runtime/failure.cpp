#include "runtime/failure.h"

#include "runtime/func/function.h"
#include "runtime/traceback.h"

namespace ac {

PyObject* MsgArg::read() const noexcept {
  switch (kind_) {
    case kObject:
      return new_ref(obj_);
    case kAttr:
      return PyObject_GetAttr(obj_, name_);
    case kTypeOf:
      return new_ref(reinterpret_cast<PyObject*>(Py_TYPE(obj_)));
    case kRepr:
      return PyObject_Repr(obj_);
    case kStr:
      return PyObject_Str(obj_);
    case kInteger:
      return PyLong_FromLong(integer_);
    case kStrOfAttr:
    case kReprOfAttr: {
      Ref attr(PyObject_GetAttr(obj_, name_));
      if (!attr) return nullptr;
      return kind_ == kStrOfAttr ? PyObject_Str(attr.get()) : PyObject_Repr(attr.get());
    }
  }
  return nullptr;
}

namespace {

// `text.<key>.format(*args)`, each lookup in that order. A new reference, or null with an error set.
PyObject* format_message(PyObject* key, std::initializer_list<MsgArg> args) noexcept {
  Ref tpl(text_of(key));
  if (!tpl) return nullptr;
  Ref fmt(PyObject_GetAttr(tpl.get(), names::format));
  if (!fmt) return nullptr;
  constexpr size_t kMaxArgs = 6;  // the most any message takes
  PyObject* argv[kMaxArgs];
  size_t n = 0;
  PyObject* msg = nullptr;
  for (const MsgArg& a : args) {
    if (n == kMaxArgs) goto done;
    argv[n] = a.read();
    if (!argv[n]) goto done;
    ++n;
  }
  msg = PyObject_Vectorcall(fmt.get(), argv, n, nullptr);
done:
  for (size_t i = 0; i < n; ++i) Py_DECREF(argv[i]);
  if (!msg && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "too many message arguments");
  return msg;
}

}  // namespace

PyObject* text_of(PyObject* key) noexcept {
  Ref txt(get_global(names::text));
  if (!txt) return nullptr;
  return PyObject_GetAttr(txt.get(), key);
}

PyObject* error_at(const FuncDef& def, int line) noexcept {
  return tb_error(def.tb_name, line);
}

AC_COLD AC_NOINLINE PyObject* fail(const FuncDef& def, int line, PyObject* key,
                                   std::initializer_list<MsgArg> args) noexcept {
  Ref cls(get_global(names::InvalidParamError));
  if (cls) {
    Ref msg(format_message(key, args));
    if (msg) raise_with_message(cls.get(), msg.get());
  }
  return error_at(def, line);
}

AC_COLD AC_NOINLINE PyObject* fail_value(const FuncDef& def, int line, PyObject* key, PyObject* func_name,
                                         PyObject* checker, PyObject* value) noexcept {
  return fail(def, line, key, {func_name, MsgArg::arg_name(checker), value, MsgArg::type_of(value)});
}

AC_COLD AC_NOINLINE PyObject* fail_value_error(const FuncDef& def, int line, PyObject* key,
                                               std::initializer_list<MsgArg> args) noexcept {
  Ref msg(format_message(key, args));
  if (msg) raise_with_message(PyExc_ValueError, msg.get());
  return error_at(def, line);
}

AC_COLD AC_NOINLINE PyObject* fail_text(const FuncDef& def, int line, PyObject* key, PyObject* cls) noexcept {
  Ref owned;
  if (!cls) {
    owned = Ref(get_global(names::InvalidParamError));
    cls = owned.get();
  }
  if (cls) {
    Ref msg(text_of(key));
    if (msg) raise_with_message(cls, msg.get());
  }
  return error_at(def, line);
}

AC_COLD AC_NOINLINE PyObject* fail_message(const FuncDef& def, int line, PyObject* message) noexcept {
  Ref cls(get_global(names::InvalidParamError));
  if (cls) raise_with_message(cls.get(), message);
  return error_at(def, line);
}

PyObject* raise_object(PyObject* exc) noexcept {
  if (PyExceptionInstance_Check(exc)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  } else if (PyExceptionClass_Check(exc)) {
    Ref inst(PyObject_CallNoArgs(exc));
    if (!inst) return nullptr;
    if (!PyExceptionInstance_Check(inst.get())) {
      PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                   exc, Py_TYPE(inst.get())->tp_name);
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
