#include "runtime/function.h"

#include <structmember.h>

#include <cstddef>
#include <vector>

#include "runtime/compat.h"
#include "runtime/names.h"
#include "runtime/portable.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace ac {

namespace {

// Every definition, in the order of static construction, so that the execution step can intern their
// names.
std::vector<FuncDef*>& all_defs() {
  static auto* defs = new std::vector<FuncDef*>();
  return *defs;
}

PyObject* g_module_name = nullptr;  // "tframe.utils.argchecker"

const char kModulePrefix[] = "tframe.utils.argchecker.";

}  // namespace

FuncDef::FuncDef(const char* qualname_, int line_, std::initializer_list<Param> params_, Body body_) noexcept
    : qualname(qualname_), name(qualname_), tb_name(nullptr), line(line_), body(body_) {
  for (const Param& p : params_) {
    if (p.name[0] == '*' && p.name[1] == '*') {
      starstar_name = p.name + 2;
    } else if (p.name[0] == '*') {
      star_name = p.name + 1;
      varargs = true;
    } else {
      params.push_back(p.name);
      if (p.has_default) defaults.push_back(p.value);
      if (p.annotation) annotations.emplace_back(p.name, p.annotation);
    }
  }
  nparams = static_cast<int>(params.size());
  if (nparams == 0 && varargs) style = Style::NoKeywords;
  if (nparams == 1 && !varargs) style = Style::Single;
  if (!varargs) exact_nargs = nparams;
  finish();
}

FuncDef::FuncDef(const char* qualname_, int line_, vectorcallfunc call) noexcept
    : qualname(qualname_),
      name(qualname_),
      tb_name(nullptr),
      line(line_),
      style(Style::Custom),
      varargs(true),
      star_name("args"),
      starstar_name("kwargs"),
      custom_call(call) {
  finish();
}

void FuncDef::finish() noexcept {
  // __name__: the last part of the qualified name; the traceback name: the dotted path without <locals>.
  for (const char* c = qualname; *c; ++c) {
    if (*c == '.') name = c + 1;
  }
  tb_storage_ = kModulePrefix;
  tb_storage_ += qualname;
  for (size_t at; (at = tb_storage_.find(".<locals>")) != std::string::npos;) tb_storage_.erase(at, 9);
  tb_name = tb_storage_.c_str();
  all_defs().push_back(this);
}

PyObject* FuncDef::make_defaults(PyObject* module_dict) const noexcept {
  if (defaults.empty()) return nullptr;
  Ref t(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
  if (!t) return nullptr;
  Py_ssize_t i = 0;
  for (const Default& d : defaults) {
    PyObject* v = nullptr;
    switch (d.kind) {
      case Default::kNone:
        v = new_ref(Py_None);
        break;
      case Default::kTrue:
        v = new_ref(Py_True);
        break;
      case Default::kFalse:
        v = new_ref(Py_False);
        break;
      case Default::kStr:
        v = PyUnicode_FromString(d.text);
        break;
      case Default::kGlobalAttr: {
        PyObject* g = PyDict_GetItemString(module_dict, d.text);  // borrowed
        if (!g) {
          PyErr_Format(PyExc_NameError, "name '%s' is not defined", d.text);
          return nullptr;
        }
        v = PyObject_GetAttrString(g, d.attr);
        break;
      }
    }
    if (!v) return nullptr;
    PyTuple_SET_ITEM(t.get(), i++, v);
  }
  return t.release();
}

PyObject* FuncDef::make_annotations() const noexcept {
  if (annotations.empty()) return nullptr;
  Ref d(PyDict_New());
  if (!d) return nullptr;
  for (const auto& [param, text] : annotations) {
    Ref v(PyUnicode_FromString(text));
    if (!v || PyDict_SetItemString(d.get(), param, v.get()) < 0) return nullptr;
  }
  return d.release();
}

bool prepare_all_defs() noexcept {
  if (!g_module_name) {
    g_module_name = PyUnicode_InternFromString("tframe.utils.argchecker");
    if (!g_module_name) return false;
  }
  for (FuncDef* d : all_defs()) {
    if (d->name_obj) continue;
    if (d->nparams > kMaxParams) {
      PyErr_Format(PyExc_SystemError, "%s has %d parameters, more than the argument parser's %d", d->qualname,
                   d->nparams, kMaxParams);
      return false;
    }
    d->name_obj = PyUnicode_InternFromString(d->name);
    d->qualname_obj = PyUnicode_FromString(d->qualname);
    if (!d->name_obj || !d->qualname_obj) return false;
    for (int i = 0; i < d->nparams; ++i) {
      d->param_objs[i] = PyUnicode_InternFromString(d->params[i]);
      if (!d->param_objs[i]) return false;
    }
  }
  return true;
}

// ---- argument errors ------------------------------------------------------------------------------

static void raise_count_error(const char* name, bool exact, Py_ssize_t min, Py_ssize_t max,
                              Py_ssize_t given) noexcept {
  Py_ssize_t expected;
  const char* more_or_less;
  if (given < min) {
    expected = min;
    more_or_less = "at least";
  } else {
    expected = max;
    more_or_less = "at most";
  }
  if (exact) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
               more_or_less, expected, expected == 1 ? "" : "s", given);
}

bool check_keyword_strings(const char* func_name, PyObject* kwnames) noexcept {
  if (!kwnames) return true;
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
      return false;
    }
  }
  return true;
}

static int name_equals(PyObject* a, PyObject* b) noexcept {
  if (a == b) return 1;
  if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return 0;
  int c = PyUnicode_Compare(a, b);
  if (c == -1 && PyErr_Occurred()) return -1;
  return c == 0;
}

// Index in kwnames of the keyword `name`, -1 when absent, -2 on error.
static Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) noexcept {
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyTuple_GET_ITEM(kwnames, i) == name) return i;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* k = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(k)) continue;
    int eq = name_equals(k, name);
    if (eq < 0) return -2;
    if (eq) return i;
  }
  return -1;
}

bool parse_arguments(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** params,
                     PyObject** varargs) noexcept {
  const FuncDef* s = f->def;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  *varargs = nullptr;

  switch (s->style) {
    case Style::Single:
      if (nkw) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", s->name);
        goto error;
      }
      if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", s->name, nargs);
        goto error;
      }
      params[0] = args[0];
      return true;

    case Style::NoKeywords:
      if (!check_keyword_strings(s->name, kwnames)) goto error;
      if (nkw) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s->name,
                     PyTuple_GET_ITEM(kwnames, nkw - 1));
        goto error;
      }
      *varargs = compat::tuple_from_array(args, nargs);
      if (!*varargs) goto error;
      return true;

    case Style::Custom:
    case Style::Params:
      break;
  }

  {
    const Py_ssize_t npos = s->nparams;
    PyObject* defaults = f->defaults;
    Py_ssize_t ndef = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (ndef > npos) ndef = npos;
    const Py_ssize_t nreq = npos - ndef;
    const bool exact = ndef == 0 && !s->varargs;
    auto default_of = [&](Py_ssize_t i) {
      return PyTuple_GET_ITEM(defaults, PyTuple_GET_SIZE(defaults) - (npos - i));
    };

    if (nargs > npos && !s->varargs) {
      raise_count_error(s->name, exact, nreq, npos, nargs);
      goto error;
    }
    const Py_ssize_t used = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < used; ++i) params[i] = args[i];

    if (nkw == 0) {
      if (nargs < nreq) {
        raise_count_error(s->name, exact, nreq, npos, nargs);
        goto error;
      }
      for (Py_ssize_t i = used; i < npos; ++i) params[i] = default_of(i);
    } else {
      Py_ssize_t left = nkw;
      for (Py_ssize_t i = used; i < npos; ++i) {
        Py_ssize_t k = find_keyword(kwnames, s->param_objs[i]);
        if (k == -2) goto error;
        if (k >= 0) {
          params[i] = args[nargs + k];
          --left;
        } else if (i < nreq) {
          raise_count_error(s->name, exact, nreq, npos, i);
          goto error;
        } else {
          params[i] = default_of(i);
        }
      }
      if (left > 0) {
        // Something besides the named parameters: say what is wrong with the first such keyword.
        for (Py_ssize_t k = 0; k < nkw; ++k) {
          PyObject* key = PyTuple_GET_ITEM(kwnames, k);
          bool found = false;
          for (Py_ssize_t i = used; i < npos && !found; ++i) {
            if (s->param_objs[i] == key) found = true;
          }
          if (found) continue;
          if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s->name);
            goto error;
          }
          for (Py_ssize_t i = used; i < npos && !found; ++i) {
            int eq = name_equals(s->param_objs[i], key);
            if (eq < 0) goto error;
            found = eq;
          }
          if (found) continue;
          for (Py_ssize_t i = 0; i < used; ++i) {
            int eq = name_equals(s->param_objs[i], key);
            if (eq < 0) goto error;
            if (eq) {
              PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s->name,
                           key);
              goto error;
            }
          }
          PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s->name, key);
          goto error;
        }
      }
    }
    if (s->varargs) {
      *varargs = nargs > npos ? compat::tuple_from_array(args + npos, nargs - npos) : PyTuple_New(0);
      if (!*varargs) goto error;
    }
    return true;
  }

error:
  add_traceback(s->tb_name, s->line);
  return false;
}

// ---- the type -------------------------------------------------------------------------------------

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
  PyObject* small[16];
  std::vector<PyObject*> large;
  PyObject** argv = small;
  if (nargs + nkw > 16) {
    large.resize(static_cast<size_t>(nargs + nkw));
    argv = large.data();
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) argv[i] = items[i];
  // The values are held for the call, as the mapping may change while the body runs.
  PyObject** values = argv + nargs;
  Py_ssize_t pos = 0, n = 0;
  PyObject *key, *value;
  bool same_names = g_last_kwnames && PyTuple_GET_SIZE(g_last_kwnames) == nkw;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      for (Py_ssize_t j = 0; j < n; ++j) Py_DECREF(values[j]);
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s->name);
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
  PyObject* r = f->vectorcall(self, argv, static_cast<size_t>(nargs), kwnames.get());
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
  PyObject* small[8];
  std::vector<PyObject*> large;
  PyObject** argv = small;
  if (total + 1 > 8) {
    large.resize(static_cast<size_t>(total + 1));
    argv = large.data();
  }
  argv[0] = self.get();
  for (Py_ssize_t i = 0; i < total; ++i) argv[i + 1] = args[i];
  return f->vectorcall(func.get(), argv, static_cast<size_t>(nargs + 1), kwnames);
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
  f->module = new_ref(g_module_name);
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

// ---- introspection ------------------------------------------------------------------------------
// `inspect.signature()` reads `__signature__` first, so the type offers one, built on each request from
// the definition (names, `*args`, position-only single parameters), the current `__defaults__` and the
// current `__annotations__`: what the argument parser accepts is what the signature shows.

namespace {

Name n_dunder_signature{"__signature__"};
Name n_dunder_wrapped{"__wrapped__"};
Name n_Parameter{"Parameter"};
Name n_Signature{"Signature"};
Name n_empty{"empty"};
Name n_default{"default"};
Name n_annotation{"annotation"};
Name n_return_annotation{"return_annotation"};
Name n_return{"return"};
Name n_POSITIONAL_ONLY{"POSITIONAL_ONLY"};
Name n_POSITIONAL_OR_KEYWORD{"POSITIONAL_OR_KEYWORD"};
Name n_VAR_POSITIONAL{"VAR_POSITIONAL"};
Name n_VAR_KEYWORD{"VAR_KEYWORD"};

// The annotation of `name` in `annotations` (borrowed), or `empty`. Null with an error set.
PyObject* annotation_of(PyObject* annotations, PyObject* name, PyObject* empty) noexcept {
  if (!annotations) return empty;
  PyObject* a = PyDict_GetItemWithError(annotations, name);
  if (a) return a;
  return PyErr_Occurred() ? nullptr : empty;
}

// inspect.Parameter(name, kind, default=..., annotation=...) (new reference).
PyObject* make_parameter(PyObject* param_cls, PyObject* name, PyObject* kind, PyObject* dflt,
                         PyObject* annotation) noexcept {
  Ref kwnames(PyTuple_Pack(2, n_default.get(), n_annotation.get()));
  if (!kwnames) return nullptr;
  PyObject* argv[] = {name, kind, dflt, annotation};
  return PyObject_Vectorcall(param_cls, argv, 2, kwnames.get());
}

PyObject* build_signature(Func* f) noexcept {
  const FuncDef* s = f->def;
  Ref inspect(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref param_cls(PyObject_GetAttr(inspect.get(), n_Parameter));
  if (!param_cls) return nullptr;
  Ref sig_cls(PyObject_GetAttr(inspect.get(), n_Signature));
  if (!sig_cls) return nullptr;
  Ref empty(PyObject_GetAttr(param_cls.get(), n_empty));
  if (!empty) return nullptr;
  auto kind = [&](PyObject* kind_name) { return Ref(PyObject_GetAttr(param_cls.get(), kind_name)); };
  // Held for the whole build: reading an annotation may run code that replaces them.
  Ref annotations = Ref::borrow(f->annotations);
  Ref defaults = Ref::borrow(f->defaults);

  Ref params(PyList_New(0));
  if (!params) return nullptr;
  auto add = [&](PyObject* name, PyObject* kind_name, PyObject* dflt) {
    Ref k = kind(kind_name);
    if (!k) return false;
    PyObject* a = annotation_of(annotations.get(), name, empty.get());
    if (!a) return false;
    Ref p(make_parameter(param_cls.get(), name, k.get(), dflt, a));
    return p && PyList_Append(params.get(), p.get()) == 0;
  };

  if (s->style == Style::Single) {
    if (s->nparams > 0 && !add(s->param_objs[0], n_POSITIONAL_ONLY, empty.get())) return nullptr;
  } else {
    // Defaults fill the last parameters, as the argument parser applies them.
    const Py_ssize_t npos = s->nparams;
    const Py_ssize_t ntuple = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t ndef = ntuple < npos ? ntuple : npos;
    for (Py_ssize_t i = 0; i < npos; ++i) {
      PyObject* d = i >= npos - ndef ? PyTuple_GET_ITEM(defaults.get(), ntuple - (npos - i)) : empty.get();
      if (!add(s->param_objs[i], n_POSITIONAL_OR_KEYWORD, d)) return nullptr;
    }
  }
  if (s->star_name) {
    Ref name(PyUnicode_InternFromString(s->star_name));
    if (!name || !add(name.get(), n_VAR_POSITIONAL, empty.get())) return nullptr;
  }
  if (s->starstar_name) {
    Ref name(PyUnicode_InternFromString(s->starstar_name));
    if (!name || !add(name.get(), n_VAR_KEYWORD, empty.get())) return nullptr;
  }
  PyObject* ret = annotation_of(annotations.get(), n_return, empty.get());
  if (!ret) return nullptr;
  Ref kwnames(PyTuple_Pack(1, n_return_annotation.get()));
  if (!kwnames) return nullptr;
  PyObject* argv[] = {params.get(), ret};
  return PyObject_Vectorcall(sig_cls.get(), argv, 1, kwnames.get());
}

}  // namespace

// A `__signature__` stored on the function itself wins, as it does for a Python function. A function
// that wraps another (`__wrapped__`, set by functools.wraps) has none of its own, so inspect follows
// the chain to the wrapped function.
static PyObject* get_signature(PyObject* self, void*) {
  Func* f = reinterpret_cast<Func*>(self);
  if (f->dict) {
    // Held: a key's __eq__ may replace the function's __dict__ while it is searched.
    Ref dict = Ref::borrow(f->dict);
    PyObject* own = PyDict_GetItemWithError(dict.get(), n_dunder_signature);
    if (own) return new_ref(own);
    if (PyErr_Occurred()) return nullptr;
    int wrapped = PyDict_Contains(dict.get(), n_dunder_wrapped);
    if (wrapped < 0) return nullptr;
    if (wrapped) {
      PyErr_SetString(PyExc_AttributeError, "'function' object has no attribute '__signature__'");
      return nullptr;
    }
  }
  return build_signature(f);
}
static int set_signature(PyObject* self, PyObject* v, void*) {
  Func* f = reinterpret_cast<Func*>(self);
  if (!v) {
    if (f->dict && PyDict_DelItem(f->dict, n_dunder_signature) == 0) return 0;
    if (f->dict && !PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
    PyErr_Clear();
    PyErr_SetString(PyExc_AttributeError, "__signature__");
    return -1;
  }
  if (!f->dict) {
    f->dict = PyDict_New();
    if (!f->dict) return -1;
  }
  return PyDict_SetItem(f->dict, n_dunder_signature, v);
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
