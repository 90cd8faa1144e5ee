#include "rules/binder.h"

#include <utility>
#include <vector>

#include "rules/decorator.h"
#include "runtime/cache.h"
#include "runtime/compat.h"
#include "runtime/exec_hooks.h"
#include "runtime/globals.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {
namespace {

Name n_getcallargs{"getcallargs"};
Name n_signature{"__signature__"};
Name n_partialmethod{"_partialmethod"};

// The standard library's inspect.getcallargs as it was when the module loaded, with what it runs and
// reads: its code object, and its module's dict (getfullargspec and the other helpers it calls are found
// there), kept as a copy. A call is bound natively only while the module global `inspect` hands out this
// very function, its code is the original one and its module's dict holds the same entries as then;
// otherwise the real function binds it.
struct StdGetcallargs {
  Ref func, code, entries;
  DictStamp checked;  // the module dict's stamp when it was last compared with `entries`
  bool same = false;  // what that comparison found
};
Forever<StdGetcallargs> g_std;

bool remember_std_getcallargs(PyObject* module_dict) noexcept {
  PyObject* inspect = PyDict_GetItemWithError(module_dict, names::g_inspect);
  if (!inspect) return !PyErr_Occurred();
  Ref func(PyObject_GetAttr(inspect, n_getcallargs));
  if (!func || !PyFunction_Check(func.get())) {
    PyErr_Clear();
    return true;
  }
  Ref entries(PyDict_Copy(PyFunction_GET_GLOBALS(func.get())));
  if (!entries) return false;
  Ref code = Ref::borrow(PyFunction_GET_CODE(func.get()));
  StdGetcallargs next{std::move(func), std::move(code), std::move(entries), DictStamp(), false};
  std::swap(*g_std, next);
  return true;
}
ExecHook hook{remember_std_getcallargs};

// Whether `dict` holds exactly the entries of `entries`, each the very same object. False, with no
// error set, when a lookup fails.
bool same_entries(PyObject* dict, PyObject* entries) noexcept {
  if (PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(entries)) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(entries, &pos, &key, &value)) {
    if (PyDict_GetItemWithError(dict, key) != value) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

// Whether `getcallargs` is the standard one as it was at load, and what it reads is too.
bool is_std_getcallargs(PyObject* getcallargs) noexcept {
  if (!g_std->func || getcallargs != g_std->func.get() ||
      PyFunction_GET_CODE(getcallargs) != g_std->code.get())
    return false;
  PyObject* dict = PyFunction_GET_GLOBALS(getcallargs);
  if (g_std->checked.holds(dict)) return g_std->same;
  const DictStamp stamp = DictStamp::of(dict, true);
  const bool same = same_entries(dict, g_std->entries.get());
  g_std->checked = stamp.holds(dict) ? stamp : DictStamp();
  g_std->same = same;
  return same;
}

Forever<GlobalRead> g_inspect_read, g_unwrapper_read;
Forever<ModuleAttrRead> g_getcallargs_read;

// The parameter layout of a code object, as getcallargs sees it:
// (code, positional names, keyword-only names, *args name or None, **kwargs name or None).
enum LayoutSlot { kCode, kArgs, kKwOnly, kVarArgs, kVarKw, kLayoutSize };

PyObject* make_layout(PyCodeObject* code) noexcept {
  Ref varnames(compat::code_varnames(code));
  if (!varnames) return nullptr;
  const Py_ssize_t argc = code->co_argcount, kwc = code->co_kwonlyargcount;
  const bool has_var = code->co_flags & CO_VARARGS, has_kw = code->co_flags & CO_VARKEYWORDS;
  if (PyTuple_GET_SIZE(varnames.get()) < argc + kwc + has_var + has_kw) {
    PyErr_SetString(PyExc_SystemError, "code object with fewer names than parameters");
    return nullptr;
  }
  Ref args(PyTuple_GetSlice(varnames.get(), 0, argc));
  Ref kwonly(PyTuple_GetSlice(varnames.get(), argc, argc + kwc));
  if (!args || !kwonly) return nullptr;
  PyObject* var = has_var ? PyTuple_GET_ITEM(varnames.get(), argc + kwc) : Py_None;
  PyObject* kw = has_kw ? PyTuple_GET_ITEM(varnames.get(), argc + kwc + has_var) : Py_None;
  return PyTuple_Pack(kLayoutSize, reinterpret_cast<PyObject*>(code), args.get(), kwonly.get(), var, kw);
}

struct LayoutParts {
  PyObject *names, *kwonly, *var, *varkw;  // borrowed from the layout
};
LayoutParts unpack(PyObject* layout) noexcept {
  return {PyTuple_GET_ITEM(layout, kArgs), PyTuple_GET_ITEM(layout, kKwOnly),
          PyTuple_GET_ITEM(layout, kVarArgs), PyTuple_GET_ITEM(layout, kVarKw)};
}

// Whether `target` is a function whose signature getcallargs reads straight from its code object.
int is_plain_function(PyObject* target) noexcept {
  if (!PyFunction_Check(target)) return 0;
  PyObject* raw = reinterpret_cast<PyFunctionObject*>(target)->func_dict;
  if (!raw || PyDict_GET_SIZE(raw) == 0) return 1;
  // Held: a key's __eq__ may replace the function's __dict__ while it is searched.
  Ref dict = Ref::borrow(raw);
  int has = PyDict_Contains(dict.get(), n_signature);
  if (has != 0) return has < 0 ? -1 : 0;
  has = PyDict_Contains(dict.get(), n_partialmethod);
  if (has != 0) return has < 0 ? -1 : 0;
  return 1;
}

// Index of `name` in the tuple `names`, or -1. Names are exact str objects.
Py_ssize_t index_of(PyObject* names, PyObject* name) noexcept {
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyTuple_GET_ITEM(names, i) == name) return i;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* p = PyTuple_GET_ITEM(names, i);
    if (PyUnicode_GET_LENGTH(p) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(p, name) == 0) return i;
  }
  return -1;
}

// The cached layout for `target`'s code object, built when the code object changes.
PyObject* layout_for(Func* wrapper, PyObject* target) noexcept {
  PyObject* code = PyFunction_GET_CODE(target);
  PyObject* cached = wrapper->cap[Wrapper::kLayout];
  if (cached && PyTuple_GET_ITEM(cached, kCode) == code) return cached;
  PyObject* layout = make_layout(reinterpret_cast<PyCodeObject*>(code));
  if (!layout) return nullptr;
  Py_XSETREF(wrapper->cap[Wrapper::kLayout], layout);
  return layout;
}

constexpr int kUnset = -1;
constexpr int kDefault = -2;    // positional default
constexpr int kKwDefault = -3;  // keyword-only default

// Equality of two exact str objects.
bool same_name(PyObject* a, PyObject* b) noexcept {
  return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
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
    Py_ssize_t p = index_of(names, key);
    if (p < 0) {
      p = index_of(kwonly, key);
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
  Ref inspect(g_inspect_read->get(names::g_inspect));
  if (!inspect) return false;
  Ref getcallargs(g_getcallargs_read->get(inspect.get(), n_getcallargs));
  if (!getcallargs) return false;
  Ref unwrapper(g_unwrapper_read->get(names::g_unwrapper));
  if (!unwrapper) return false;
  target_ = Ref(PyObject_Vectorcall(unwrapper.get(), &func, 1, nullptr));
  if (!target_) return false;
  args_ = args;
  nargs_ = nargs;
  kwnames_ = kwnames;

  if (is_std_getcallargs(getcallargs.get())) {
    int plain = is_plain_function(target_.get());
    if (plain < 0) return false;
    if (plain) {
      // Held for the call: a re-entrant call could replace the cached layout meanwhile.
      layout_ = Ref::borrow(layout_for(wrapper, target_.get()));
      if (!layout_) return false;
      if (bind_lazily()) {
        lazy_ = true;
        return true;
      }
    }
  }

  // getcallargs(target, *args, **kwargs)
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  const Py_ssize_t total = 1 + nargs + nkw;
  PyObject* small[16];
  std::vector<PyObject*> large;
  PyObject** argv = small;
  if (total > 16) {
    large.resize(static_cast<size_t>(total));
    argv = large.data();
  }
  argv[0] = target_.get();
  for (Py_ssize_t i = 0; i < nargs + nkw; ++i) argv[1 + i] = args[i];
  mapping_ = Ref(PyObject_Vectorcall(getcallargs.get(), argv, static_cast<size_t>(1 + nargs), kwnames));
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
    if (index_of(names, key) < 0 && index_of(kwonly, key) < 0) continue;
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

  Py_ssize_t p = index_of(names, key);
  if (p < 0) {
    p = index_of(kwonly, key);
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
      if (index_of(names, k) >= 0 || index_of(kwonly, k) >= 0) continue;
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
