#include "rules/binder.h"

#include <utility>

#include "rules/decorator.h"
#include "runtime/cache/cache.h"
#include "runtime/compat.h"
#include "runtime/func/args.h"
#include "runtime/globals.h"
#include "runtime/names.h"
#include "runtime/ready.h"
#include "runtime/ref.h"

namespace ac {
namespace {

Name n_getcallargs{"getcallargs"}, n_keyword{"keyword"}, n_iskeyword{"iskeyword"};

// What getcallargs is made of, found when the module loads: the standard inspect module (the module
// global `inspect` then), its getcallargs, and everything a call of it on a plain function runs and reads
// (`reads`: found by running it on a few functions of every shape, see `samples`), with the names that
// code reads (`target_names`: the attributes it may look up on the function it is given). A call is bound
// natively only while `inspect` is that module, its getcallargs that function, and `reads` holds.
struct StdGetcallargs {
  Ref inspect, getcallargs, target_names;
  Snapshot reads;
  Ref iskeyword;  // keyword.iskeyword, for the parameter names of each code object bound natively
};
Forever<StdGetcallargs> g_inspect_std;

// Calls of getcallargs that bind, on functions of each parameter kind, with and without annotations.
constexpr const char kSamples[] = R"(
def samples(getcallargs, gc):
    def f0(a, b=1, *args, c, d=2, **kw): pass
    def f1(a: int, /, b: "x" = 2) -> int: pass
    def f2(): pass
    isenabled, disable, enable = gc.isenabled, gc.disable, gc.enable
    def run():
        was = isenabled()
        disable()  # no collection runs a __del__ in between
        try:
            getcallargs(f0, 1, c=3)
            getcallargs(f0, 1, 2, 3, c=3, d=4, e=5)
            getcallargs(f1, 1)
            getcallargs(f1, 1, b=2)
            getcallargs(f2)
        finally:
            if was:
                enable()
    return run
)";

bool remember_std_getcallargs(PyObject* module_dict) noexcept {
  g_inspect_std->reads.clear();
  PyObject* inspect = PyDict_GetItemWithError(module_dict, names::inspect);
  if (!inspect) return !PyErr_Occurred();
  Ref func(PyObject_GetAttr(inspect, n_getcallargs));
  Ref ns(PyDict_New());
  Ref target_names(PySet_New(nullptr));
  Ref code(func && ns && target_names &&
                   PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) == 0
               ? Py_CompileString(kSamples, "<argchecker samples>", Py_file_input)
               : nullptr);
  Ref done(code ? PyEval_EvalCode(code.get(), ns.get(), ns.get()) : nullptr);
  PyObject* samples = done ? PyDict_GetItemString(ns.get(), "samples") : nullptr;
  Ref gc(samples ? PyImport_ImportModule("gc") : nullptr);
  PyObject* sample_args[] = {func.get(), gc.get()};
  Ref run(gc ? PyObject_Vectorcall(samples, sample_args, 2, nullptr) : nullptr);
  if (!run || !PyModule_CheckExact(inspect) || !PyFunction_Check(func.get()) ||
      PyFunction_GET_GLOBALS(func.get()) != PyModule_GetDict(inspect) ||
      !g_inspect_std->reads.add_what_runs(run.get(), func.get(), target_names.get())) {
    PyErr_Clear();  // no native binding: every call goes to the real getcallargs
    g_inspect_std->reads.clear();
    return true;
  }
  Ref keyword(PyImport_Import(n_keyword));
  g_inspect_std->iskeyword = Ref(keyword ? PyObject_GetAttr(keyword.get(), n_iskeyword) : nullptr);
  PyErr_Clear();  // without it no name is known to be kept: nothing is bound natively
  g_inspect_std->inspect = Ref::borrow(inspect);
  g_inspect_std->getcallargs = std::move(func);
  g_inspect_std->target_names = std::move(target_names);
  g_inspect_std->reads.seal();
  return true;
}
ExecHook hook{remember_std_getcallargs};

// The parameter layout of a code object, as getcallargs sees it: (code, positional names, keyword-only
// names, *args name or None, **kwargs name or None, whether getcallargs keeps every name as it is).
enum LayoutSlot { kCode, kArgs, kKwOnly, kVarArgs, kVarKw, kNamesKept, kLayoutSize };

// 1 when getcallargs binds each parameter under its own name: the signature it builds refuses names that
// are not identifiers or (from 3.11) keywords, renames the implicit ".0" of a comprehension and keeps one
// of two parameters of the same name. 0 otherwise, -1 with an error set.
int names_kept(PyObject* params) noexcept {
  PyObject* iskeyword = g_inspect_std->iskeyword.get();
  if (!iskeyword) return 0;
  const Py_ssize_t n = PyTuple_GET_SIZE(params);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(params, i);
    if (!PyUnicode_CheckExact(name) || !PyUnicode_IsIdentifier(name)) return 0;
    Ref is_kw(PyObject_CallOneArg(iskeyword, name));
    if (!is_kw) return -1;
    if (is_kw.get() != Py_False) return 0;
    for (Py_ssize_t j = 0; j < i; ++j) {
      if (PyUnicode_Compare(PyTuple_GET_ITEM(params, j), name) == 0) return 0;
    }
  }
  return 1;
}

PyObject* make_layout(PyObject* code_obj) noexcept {
  auto* code = reinterpret_cast<PyCodeObject*>(code_obj);
  Ref varnames(compat::code_varnames(code));
  if (!varnames) return nullptr;
  const Py_ssize_t argc = code->co_argcount, kwc = code->co_kwonlyargcount;
  const bool has_var = code->co_flags & CO_VARARGS, has_kw = code->co_flags & CO_VARKEYWORDS;
  const Py_ssize_t nparams = argc + kwc + has_var + has_kw;
  if (PyTuple_GET_SIZE(varnames.get()) < nparams) {
    PyErr_SetString(PyExc_SystemError, "code object with fewer names than parameters");
    return nullptr;
  }
  Ref args(PyTuple_GetSlice(varnames.get(), 0, argc));
  Ref kwonly(PyTuple_GetSlice(varnames.get(), argc, argc + kwc));
  Ref params(PyTuple_GetSlice(varnames.get(), 0, nparams));
  if (!args || !kwonly || !params) return nullptr;
  const int kept = names_kept(params.get());
  if (kept < 0) return nullptr;
  PyObject* var = has_var ? PyTuple_GET_ITEM(varnames.get(), argc + kwc) : Py_None;
  PyObject* kw = has_kw ? PyTuple_GET_ITEM(varnames.get(), argc + kwc + has_var) : Py_None;
  return PyTuple_Pack(kLayoutSize, code_obj, args.get(), kwonly.get(), var, kw, kept ? Py_True : Py_False);
}

struct LayoutParts {
  PyObject *names, *kwonly, *var, *varkw;  // borrowed from the layout
};
LayoutParts unpack(PyObject* layout) noexcept {
  return {PyTuple_GET_ITEM(layout, kArgs), PyTuple_GET_ITEM(layout, kKwOnly),
          PyTuple_GET_ITEM(layout, kVarArgs), PyTuple_GET_ITEM(layout, kVarKw)};
}

// Whether getcallargs reads `target`'s signature from its code object and these fields alone, as the
// native binder does: a plain function whose defaults, keyword defaults and annotations are of the exact
// built-in types (whose reads run no code), and whose own __dict__ has nothing under a name that
// getcallargs's code reads (`__signature__`, `__text_signature__`, `_partialmethod` or `__partialmethod__`
// and the rest, whatever this interpreter's inspect reads). 1, 0, or -1 with an error set.
int is_plain_function(PyObject* target) noexcept {
  if (!PyFunction_Check(target)) return 0;
  auto* f = reinterpret_cast<PyFunctionObject*>(target);
  if ((f->func_defaults && !PyTuple_CheckExact(f->func_defaults)) ||
      (f->func_kwdefaults && !PyDict_CheckExact(f->func_kwdefaults)))
    return 0;
  // From 3.10 the compiler's annotations may wait in a tuple until they are first read.
  if (f->func_annotations && !PyDict_CheckExact(f->func_annotations) &&
      (PY_VERSION_HEX < 0x030A0000 || !PyTuple_CheckExact(f->func_annotations)))
    return 0;
  PyObject* raw = f->func_dict;
  if (!raw || PyDict_GET_SIZE(raw) == 0) return 1;
  // Held: a key's __eq__ may replace the function's __dict__ while it is searched.
  Ref dict = Ref::borrow(raw);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict.get(), &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return 0;
    const int read = PySet_Contains(g_inspect_std->target_names.get(), key);
    if (read != 0) return read < 0 ? -1 : 0;
  }
  return 1;
}

// The layout of `target`'s code object, kept in the wrapper while the function has that code object.
PyObject* layout_for(Func* wrapper, PyObject* target) noexcept {
  return derived_from(wrapper->cap[Wrapper::kLayout], PyFunction_GET_CODE(target), make_layout);
}

constexpr int kUnset = -1;
constexpr int kDefault = -2;    // positional default
constexpr int kKwDefault = -3;  // keyword-only default

// `inspect.getcallargs`, read as the call's first step (before unwrapper runs). For the standard module
// (whose own lookup reads its dict), the standard function while the snapshot found that dict's entries
// unchanged under its present tag, else the dict's entry. A new reference, or null with an error set.
PyObject* read_getcallargs(PyObject* inspect) noexcept {
  if (inspect == g_inspect_std->inspect.get() && Py_IS_TYPE(inspect, &PyModule_Type)) {
    PyObject* dict = PyModule_GetDict(inspect);
    if (g_inspect_std->reads.unchanged(dict)) return new_ref(g_inspect_std->getcallargs.get());
    if (PyObject* v = PyDict_GetItemWithError(dict, n_getcallargs)) return new_ref(v);
    if (PyErr_Occurred()) return nullptr;
  }
  return PyObject_GetAttr(inspect, n_getcallargs);
}

}  // namespace

bool CallArgs::bind_lazily() noexcept {
  const auto [names, kwonly, var, varkw] = unpack(layout_.get());
  const Py_ssize_t num_args = PyTuple_GET_SIZE(names);
  const Py_ssize_t num_kwonly = PyTuple_GET_SIZE(kwonly);
  if (num_args + num_kwonly > kMaxNamed) return false;
  PyObject* target = target_.get();
  defaults_ = Ref::borrow(PyFunction_GET_DEFAULTS(target));
  const Py_ssize_t num_defaults = defaults_ ? PyTuple_GET_SIZE(defaults_.get()) : 0;
  if (num_defaults > num_args) return false;
  if (nargs_ > num_args && var == Py_None) return false;

  for (Py_ssize_t i = 0; i < num_args + num_kwonly; ++i) src_[i] = kUnset;
  const Py_ssize_t n = nargs_ < num_args ? nargs_ : num_args;
  for (Py_ssize_t i = 0; i < n; ++i) src_[i] = static_cast<int>(i);

  const Py_ssize_t nkw = kwnames_ ? PyTuple_GET_SIZE(kwnames_) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames_, j);
    if (!PyUnicode_CheckExact(key)) return false;
    Py_ssize_t p = find_name(names, key);
    if (p < 0) {
      p = find_name(kwonly, key);
      if (p >= 0) p += num_args;
    }
    if (p < 0) {
      if (varkw == Py_None) return false;  // unexpected keyword
      continue;                            // gathered into **kwargs
    }
    if (src_[p] != kUnset) return false;  // multiple values
    src_[p] = static_cast<int>(nargs_ + j);
  }
  if (nargs_ < num_args) {
    const Py_ssize_t required = num_args - num_defaults;
    for (Py_ssize_t i = nargs_; i < num_args; ++i) {
      if (src_[i] != kUnset) continue;
      if (i < required) return false;  // missing argument
      src_[i] = kDefault;
    }
  }
  PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(target);
  for (Py_ssize_t i = 0; i < num_kwonly; ++i) {
    if (src_[num_args + i] != kUnset) continue;
    PyObject* dflt = kwdefaults ? PyDict_GetItemWithError(kwdefaults, PyTuple_GET_ITEM(kwonly, i)) : nullptr;
    if (!dflt) {
      if (PyErr_Occurred()) PyErr_Clear();
      return false;
    }
    // Taken now, as getcallargs would take it: a rule may change `__kwdefaults__` later on.
    if (!kwdefaults_) {
      kwdefaults_ = Ref(PyTuple_New(num_kwonly));
      if (!kwdefaults_) {
        PyErr_Clear();
        return false;
      }
    }
    PyTuple_SET_ITEM(kwdefaults_.get(), i, new_ref(dflt));
    src_[num_args + i] = kKwDefault;
  }
  return true;
}

bool CallArgs::bind(Func* wrapper, PyObject* func, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  Ref inspect(read_global(names::inspect));
  if (!inspect) return false;
  Ref getcallargs(read_getcallargs(inspect.get()));
  if (!getcallargs) return false;
  Ref unwrapper(read_global(names::unwrapper));
  if (!unwrapper) return false;
  target_ = Ref(PyObject_Vectorcall(unwrapper.get(), &func, 1, nullptr));
  if (!target_) return false;
  args_ = args;
  nargs_ = nargs;
  kwnames_ = kwnames;

  // What getcallargs reads when it runs is checked now, after unwrapper, which may have changed it.
  if (getcallargs.get() == g_inspect_std->getcallargs.get() && g_inspect_std->reads.holds()) {
    int plain = is_plain_function(target_.get());
    if (plain < 0) return false;
    if (plain) {
      // Held for the call: a re-entrant call could replace the wrapper's layout meanwhile.
      layout_ = Ref::borrow(layout_for(wrapper, target_.get()));
      if (!layout_) return false;
      if (PyTuple_GET_ITEM(layout_.get(), kNamesKept) == Py_True && bind_lazily()) {
        lazy_ = true;
        return true;
      }
    }
  }

  // getcallargs(target, *args, **kwargs)
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  const Py_ssize_t total = 1 + nargs + nkw;
  ArgArray argv(total);
  argv[0] = target_.get();
  for (Py_ssize_t i = 0; i < nargs + nkw; ++i) argv[1 + i] = args[i];
  mapping_ =
      Ref(PyObject_Vectorcall(getcallargs.get(), argv.data(), static_cast<size_t>(1 + nargs), kwnames));
  return static_cast<bool>(mapping_);
}

// The whole mapping, built from the binding record in the order getcallargs fills its dict: the
// positional parameters given, *args, **kwargs, the keywords in call order, then the defaults taken.
PyObject* CallArgs::materialize() noexcept {
  if (mapping_) return mapping_.get();
  const auto [names, kwonly, var, varkw] = unpack(layout_.get());
  const Py_ssize_t num_args = PyTuple_GET_SIZE(names);
  const Py_ssize_t num_kwonly = PyTuple_GET_SIZE(kwonly);
  Ref d(PyDict_New());
  if (!d) return nullptr;
  const Py_ssize_t n = nargs_ < num_args ? nargs_ : num_args;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyDict_SetItem(d.get(), PyTuple_GET_ITEM(names, i), args_[i]) < 0) return nullptr;
  }
  for (PyObject* extra : {var, varkw}) {
    if (extra == Py_None) continue;
    Ref value(get(extra));
    if (!value || PyDict_SetItem(d.get(), extra, value.get()) < 0) return nullptr;
  }
  const Py_ssize_t nkw = kwnames_ ? PyTuple_GET_SIZE(kwnames_) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames_, j);
    if (find_name(names, key) < 0 && find_name(kwonly, key) < 0) continue;
    if (PyDict_SetItem(d.get(), key, args_[nargs_ + j]) < 0) return nullptr;
  }
  for (Py_ssize_t p = 0; p < num_args + num_kwonly; ++p) {
    if (src_[p] >= 0) continue;
    PyObject* name = p < num_args ? PyTuple_GET_ITEM(names, p) : PyTuple_GET_ITEM(kwonly, p - num_args);
    Ref value(get(name));
    if (!value || PyDict_SetItem(d.get(), name, value.get()) < 0) return nullptr;
  }
  mapping_ = std::move(d);
  return mapping_.get();
}

PyObject* CallArgs::get(PyObject* key) noexcept {
  if (!lazy_ || !PyUnicode_CheckExact(key)) {
    // A key of another type may hash and compare in its own way: look it up in the real mapping.
    PyObject* mapping = lazy_ ? materialize() : mapping_.get();
    if (!mapping) return nullptr;
    return PyObject_GetItem(mapping, key);
  }
  const auto [names, kwonly, var, varkw] = unpack(layout_.get());
  const Py_ssize_t num_args = PyTuple_GET_SIZE(names);

  Py_ssize_t p = find_name(names, key);
  if (p < 0) {
    p = find_name(kwonly, key);
    if (p >= 0) p += num_args;
  }
  if (p >= 0) {
    const int s = src_[p];
    if (s >= 0) return new_ref(args_[s]);
    if (s == kKwDefault) return new_ref(PyTuple_GET_ITEM(kwdefaults_.get(), p - num_args));
    const Py_ssize_t num_defaults = PyTuple_GET_SIZE(defaults_.get());
    return new_ref(PyTuple_GET_ITEM(defaults_.get(), p - (num_args - num_defaults)));
  }
  if (var != Py_None && same_name(var, key)) {
    if (!var_value_) {
      const Py_ssize_t n = nargs_ < num_args ? nargs_ : num_args;
      var_value_ = Ref(compat::tuple_from_array(args_ + n, nargs_ - n));
      if (!var_value_) return nullptr;
    }
    return new_ref(var_value_.get());
  }
  if (varkw != Py_None && same_name(varkw, key)) {
    if (varkw_value_) return new_ref(varkw_value_.get());
    Ref extra(PyDict_New());
    if (!extra) return nullptr;
    const Py_ssize_t nkw = kwnames_ ? PyTuple_GET_SIZE(kwnames_) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* k = PyTuple_GET_ITEM(kwnames_, j);
      if (find_name(names, k) >= 0 || find_name(kwonly, k) >= 0) continue;
      if (PyDict_SetItem(extra.get(), k, args_[nargs_ + j]) < 0) return nullptr;
    }
    varkw_value_ = std::move(extra);
    return new_ref(varkw_value_.get());
  }
  Ref wrapped(PyTuple_Pack(1, key));
  if (wrapped) PyErr_SetObject(PyExc_KeyError, wrapped.get());
  return nullptr;
}

}  // namespace ac
