#include "runtime/func/signature.h"

#include "runtime/func/function.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {

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
PyObject* get_signature(PyObject* self, void*) noexcept {
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
int set_signature(PyObject* self, PyObject* v, void*) noexcept {
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

}  // namespace ac
