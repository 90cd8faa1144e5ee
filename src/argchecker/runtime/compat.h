// What differs between the interpreter versions the module builds for, in one place.
#pragma once
#include <Python.h>

#include <frameobject.h>

namespace ac::compat {

// The ID of the interpreter running the calling thread.
inline int64_t interpreter_id() noexcept {
  return PyInterpreterState_GetID(PyInterpreterState_Get());
}

// The innermost Python frame of the calling thread (borrowed), or null.
inline PyFrameObject* current_frame() noexcept {
  return PyEval_GetFrame();
}

// Whether `f` has a caller frame.
inline bool frame_has_back(PyFrameObject* f) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  PyFrameObject* back = PyFrame_GetBack(f);
  Py_XDECREF(back);
  return back != nullptr;
#else
  return f->f_back != nullptr;
#endif
}

// Makes a frame that reports `line` for an empty code object whose first line is `line`. Before 3.11
// the frame carries its own line number; from 3.11 a frame that has not run reports its code's first
// line, which is why the code objects are made per (name, line).
inline PyFrameObject* new_frame(PyCodeObject* code, PyObject* globals, int line) noexcept {
  PyFrameObject* f = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
#if PY_VERSION_HEX < 0x030B0000
  if (f) f->f_lineno = line;
#else
  (void)line;
#endif
  return f;
}

// The names of a code object's local variables, parameters first (new reference).
inline PyObject* code_varnames(PyCodeObject* code) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  return PyCode_GetVarnames(code);
#else
  Py_INCREF(code->co_varnames);
  return code->co_varnames;
#endif
}

// `obj.name` for a call: when that would make a bound method of a method descriptor found on the
// type, sets *method to the descriptor itself and returns 1 (the caller passes `obj` as the first
// argument); otherwise sets *method to the attribute (or null with an error) and returns 0.
// The lookup itself is the interpreter's, so nothing about it changes but the skipped bound method.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  // The interpreter's lookup expects *method to be null on entry and leaves it untouched when the
  // attribute is missing, so the caller would otherwise read whatever was there.
  *method = nullptr;
  return _PyObject_GetMethod(obj, name, method);
#else
  // The interpreter no longer exports its lookup: the same steps for the case it exists for (a method
  // descriptor on the type, nothing under the name in the instance dict); the generic lookup, which
  // finds the same object in every other case, otherwise.
  PyTypeObject* tp = Py_TYPE(obj);
  *method = nullptr;
  if (tp->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
    PyObject* found = _PyType_Lookup(tp, name);
    if (found && PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
      PyObject* descr = Py_NewRef(found);  // held: the dict lookup below may run a key's __eq__
      PyObject** dictptr = _PyObject_GetDictPtr(obj);
      PyObject* dict = dictptr ? Py_XNewRef(*dictptr) : nullptr;
      PyObject* attr = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
      Py_XINCREF(attr);
      Py_XDECREF(dict);
      if (attr || PyErr_Occurred()) {
        Py_DECREF(descr);
        *method = attr;
        return 0;
      }
      *method = descr;
      return 1;
    }
  }
  *method = PyObject_GetAttr(obj, name);
  return 0;
#endif
}

// A new tuple of `n` objects (new references taken).
inline PyObject* tuple_from_array(PyObject* const* items, Py_ssize_t n) noexcept {
  PyObject* t = PyTuple_New(n);
  if (!t) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_INCREF(items[i]);
    PyTuple_SET_ITEM(t, i, items[i]);
  }
  return t;
}

// The builtins a Python function's code resolves names in, as a dict (borrowed), or null.
inline PyObject* function_builtins(PyObject* func) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
  return reinterpret_cast<PyFunctionObject*>(func)->func_builtins;
#else
  PyObject* b = PyDict_GetItemString(PyFunction_GET_GLOBALS(func), "__builtins__");
  if (b && PyModule_Check(b)) return PyModule_GetDict(b);
  return b && PyDict_Check(b) ? b : nullptr;
#endif
}

// Runs `fn()` with `hook` as the calling thread's profile function (`arg` its argument), then puts back
// the one there was. Returns what `fn` returns.
template <class Fn>
auto with_profile(Py_tracefunc hook, PyObject* arg, Fn fn) noexcept {
  PyThreadState* ts = PyThreadState_Get();
  Py_tracefunc old = ts->c_profilefunc;
  PyObject* old_arg = ts->c_profileobj;
  Py_XINCREF(old_arg);
  PyEval_SetProfile(hook, arg);
  auto result = fn();
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);  // setting the hook raises an audit event, which must not see an error
  PyEval_SetProfile(old, old_arg);
  PyErr_Restore(type, value, tb);
  Py_XDECREF(old_arg);
  return result;
}

}  // namespace ac::compat
