#include "runtime/func/function.h"

#include <structmember.h>

#include <cstddef>

#include "runtime/func/args.h"
#include "runtime/func/signature.h"
#include "runtime/names.h"
#include "runtime/portable.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace ac {

// Any call but the common one, kept out of line so that the common one needs no frame of its own.
AC_NOINLINE static PyObject* parse_and_call(Func* f, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) noexcept {
  const FuncDef* s = f->def;
  // Defaults filled into `params` are borrowed from the tuple: hold it for the call, as a Python
  // function's frame owns its arguments, so that code run by the body may replace `__defaults__`.
  Ref defaults = Ref::borrow(f->defaults);
  PyObject* params[kMaxParams];
  PyObject* varargs;
  if (!parse_arguments(f, args, nargs, kwnames, params, &varargs)) return nullptr;
  Ref rest(varargs);
  return s->body(f, params, varargs);
}

static PyObject* func_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                 PyObject* kwnames) noexcept {
  Func* f = reinterpret_cast<Func*>(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  // The common call: every named parameter given by position, nothing else.
  if (!kwnames && nargs == f->def->exact_nargs) return f->def->body(f, args, nullptr);
  return parse_and_call(f, args, nargs, kwnames);
}

// Calls through a keyword mapping (`f(**kw)`, `f.__call__(...)`, PyObject_Call) arrive here with the
// mapping as it is, so that its names are checked with the function's own texts; the type has no
// vectorcall slot for that reason (the interpreter would unpack the mapping first, with a text of its
// own). Positional calls from the interpreter come here too, through a tuple; the module's own calls
// enter the function's vectorcall directly (see `call`).
// The keyword names of the last call that came with a mapping (a tuple of str), kept for the next.
static PyObject* g_last_kwnames = nullptr;

// A call with a non-empty mapping: kept out of line, so that a positional call pays for none of it.
AC_NOINLINE static PyObject* call_with_mapping(Func* f, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* self = reinterpret_cast<PyObject*>(f);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
  const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
  const FuncDef* s = f->def;
  if (s->style == Style::Single) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", s->name);
    return tb_error(s->tb_name, s->line);
  }
  ArgArray argv(nargs + nkw);
  for (Py_ssize_t i = 0; i < nargs; ++i) argv[i] = items[i];
  // The values are held for the call, as the mapping may change while the body runs.
  PyObject** values = argv.data() + nargs;
  Py_ssize_t pos = 0, n = 0;
  PyObject *key, *value;
  bool same_names = g_last_kwnames && PyTuple_GET_SIZE(g_last_kwnames) == nkw;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      for (Py_ssize_t j = 0; j < n; ++j) Py_DECREF(values[j]);
      keywords_must_be_strings(s->name);
      return tb_error(s->tb_name, s->line);
    }
    same_names = same_names && PyTuple_GET_ITEM(g_last_kwnames, n) == key;
    values[n++] = new_ref(value);
  }
  // A call site passes the same name objects each time: the names of the last such call are reused.
  if (!same_names) {
    PyObject* names = PyTuple_New(nkw);
    if (!names) {
      for (Py_ssize_t j = 0; j < nkw; ++j) Py_DECREF(values[j]);
      return tb_error(s->tb_name, s->line);
    }
    pos = n = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) PyTuple_SET_ITEM(names, n++, new_ref(key));
    Py_XSETREF(g_last_kwnames, names);
  }
  Ref kwnames = Ref::borrow(g_last_kwnames);
  PyObject* r = f->vectorcall(self, argv.data(), static_cast<size_t>(nargs), kwnames.get());
  for (Py_ssize_t j = 0; j < nkw; ++j) Py_DECREF(values[j]);
  return r;
}

static PyObject* func_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  if (kwargs && PyDict_GET_SIZE(kwargs) != 0) return call_with_mapping(f, args, kwargs);
  return f->vectorcall(self, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(PyTuple_GET_SIZE(args)),
                       nullptr);
}

PyObject* call_bound_method(PyObject* method, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept {
  // Held for the call, as the interpreter's own method call holds them.
  Ref func = Ref::borrow(PyMethod_GET_FUNCTION(method));
  Ref self = Ref::borrow(PyMethod_GET_SELF(method));
  Func* f = reinterpret_cast<Func*>(func.get());
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
    // The slot in front of the arguments is ours to use for the call.
    PyObject** front = const_cast<PyObject**>(args) - 1;
    PyObject* saved = *front;
    *front = self.get();
    PyObject* r = f->vectorcall(func.get(), front, static_cast<size_t>(nargs + 1), kwnames);
    *front = saved;
    return r;
  }
  const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  ArgArray argv(total + 1);
  argv[0] = self.get();
  for (Py_ssize_t i = 0; i < total; ++i) argv[i + 1] = args[i];
  return f->vectorcall(func.get(), argv.data(), static_cast<size_t>(nargs + 1), kwnames);
}

// `__reduce__` and `__reduce_ex__`: the qualified name, so that pickle stores the function by
// reference (module and qualified name, found again on load) and copy and deepcopy return it as it is,
// as they do for Python and builtin functions.
static PyObject* func_reduce(PyObject* self, PyObject*) noexcept {
  return new_ref(reinterpret_cast<Func*>(self)->qualname);
}

static PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", func_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* make_function(const FuncDef& def, std::initializer_list<PyObject*> captures,
                        PyObject* defaults) noexcept {
  if (captures.size() > kCaptureSlots) {
    PyErr_Format(PyExc_SystemError, "%s captures more than %d objects", def.qualname, kCaptureSlots);
    return nullptr;
  }
  Ref annotations(def.make_annotations());
  if (!annotations && PyErr_Occurred()) return nullptr;
  Func* f = PyObject_GC_New(Func, &FuncType);
  if (!f) return nullptr;
  f->vectorcall = def.style == Style::Custom ? def.custom_call : func_vectorcall;
  f->def = &def;
  f->name = new_ref(def.name_obj);
  f->qualname = new_ref(def.qualname_obj);
  f->module = new_ref(names::module_name);
  f->doc = new_ref(Py_None);
  f->dict = nullptr;
  f->defaults = defaults && defaults != Py_None ? new_ref(defaults) : nullptr;
  f->kwdefaults = nullptr;
  f->annotations = annotations.release();
  f->weakreflist = nullptr;
  int i = 0;
  for (PyObject* c : captures) f->cap[i++] = (Py_XINCREF(c), c);
  for (; i < kCaptureSlots; ++i) f->cap[i] = nullptr;
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

static int func_traverse(PyObject* self, visitproc visit, void* arg) {
  Func* f = reinterpret_cast<Func*>(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  for (PyObject* c : f->cap) Py_VISIT(c);
  return 0;
}

static int func_clear(PyObject* self) {
  Func* f = reinterpret_cast<Func*>(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  for (PyObject*& c : f->cap) Py_CLEAR(c);
  return 0;
}

static void func_dealloc(PyObject* self) {
  Func* f = reinterpret_cast<Func*>(self);
  PyObject_GC_UnTrack(self);
  if (f->weakreflist) PyObject_ClearWeakRefs(self);
  func_clear(self);
  PyObject_GC_Del(self);
}

static PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return new_ref(self);
  return PyMethod_New(self, obj);
}

static PyObject* func_repr(PyObject* self) {
  Func* f = reinterpret_cast<Func*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Attribute access, with the setter rules of Python functions.

// `field = v` for an attribute that must be a str.
static int set_str_field(PyObject*& field, PyObject* v, const char* message) noexcept {
  if (!v || !PyUnicode_Check(v)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_INCREF(v);
  Py_SETREF(field, v);
  return 0;
}

// `field = v` for an attribute that None (or deletion) clears and that must otherwise pass `accepts`.
static int set_optional_field(PyObject*& field, PyObject* v, int (*accepts)(PyObject*),
                              const char* message) noexcept {
  if (v == Py_None) v = nullptr;
  if (v && !accepts(v)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_XINCREF(v);
  Py_XSETREF(field, v);
  return 0;
}

static int is_tuple(PyObject* v) noexcept {
  return PyTuple_Check(v);
}
static int is_dict(PyObject* v) noexcept {
  return PyDict_Check(v);
}
static Func* as_func(PyObject* self) noexcept {
  return reinterpret_cast<Func*>(self);
}

static PyObject* get_name(PyObject* self, void*) {
  return new_ref(as_func(self)->name);
}
static int set_name(PyObject* self, PyObject* v, void*) {
  return set_str_field(as_func(self)->name, v, "__name__ must be set to a string object");
}
static PyObject* get_qualname(PyObject* self, void*) {
  return new_ref(as_func(self)->qualname);
}
static int set_qualname(PyObject* self, PyObject* v, void*) {
  return set_str_field(as_func(self)->qualname, v, "__qualname__ must be set to a string object");
}
static PyObject* get_defaults(PyObject* self, void*) {
  PyObject* d = as_func(self)->defaults;
  return new_ref(d ? d : Py_None);
}
static int set_defaults(PyObject* self, PyObject* v, void*) {
  return set_optional_field(as_func(self)->defaults, v, is_tuple,
                            "__defaults__ must be set to a tuple object");
}
static PyObject* get_kwdefaults(PyObject* self, void*) {
  PyObject* d = as_func(self)->kwdefaults;
  return new_ref(d ? d : Py_None);
}
static int set_kwdefaults(PyObject* self, PyObject* v, void*) {
  return set_optional_field(as_func(self)->kwdefaults, v, is_dict,
                            "__kwdefaults__ must be set to a dict object");
}
static PyObject* get_annotations(PyObject* self, void*) {
  Func* f = as_func(self);
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  return new_ref(f->annotations);
}
static int set_annotations(PyObject* self, PyObject* v, void*) {
  return set_optional_field(as_func(self)->annotations, v, is_dict,
                            "__annotations__ must be set to a dict object");
}

static PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(Func, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Func, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject FuncType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool func_type_ready() noexcept {
  if (FuncType.tp_flags & Py_TPFLAGS_READY) return true;
  FuncType.tp_name = "function";
  FuncType.tp_basicsize = sizeof(Func);
  FuncType.tp_dealloc = func_dealloc;
  FuncType.tp_repr = func_repr;
  FuncType.tp_call = func_call;
  FuncType.tp_getattro = PyObject_GenericGetAttr;
  FuncType.tp_setattro = PyObject_GenericSetAttr;
  // NOLINTNEXTLINE(misc-redundant-expression): Py_TPFLAGS_DEFAULT expands to zero-valued flags
  FuncType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
  FuncType.tp_traverse = func_traverse;
  FuncType.tp_clear = func_clear;
  FuncType.tp_weaklistoffset = offsetof(Func, weakreflist);
  FuncType.tp_members = func_members;
  FuncType.tp_methods = func_methods;
  FuncType.tp_getset = func_getset;
  FuncType.tp_descr_get = func_descr_get;
  FuncType.tp_dictoffset = offsetof(Func, dict);
  return PyType_Ready(&FuncType) == 0;
}

}  // namespace ac
