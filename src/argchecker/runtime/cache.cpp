#include "runtime/cache.h"

#include <utility>

#include "runtime/attr.h"
#include "runtime/compat.h"
#include "runtime/exec_hooks.h"
#include "runtime/globals.h"
#include "runtime/names.h"

namespace ac {

#ifdef AC_CACHE_WATCHERS
namespace cache {

uint64_t g_last[kOthers + 1] = {};
static uint64_t g_counter = 0;
static PyObject* g_module_dicts[kOthers] = {};  // compared, never followed
static int g_dict_watcher = -1, g_type_watcher = -1;

int module_slot(PyObject* dict) noexcept {
  int free = kOthers;
  for (int i = 0; i < kOthers; ++i) {
    if (g_module_dicts[i] == dict) return i;
    if (!g_module_dicts[i] && free == kOthers) free = i;
  }
  if (free != kOthers) g_module_dicts[free] = dict;
  return free;
}

static int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
  const uint64_t n = ++g_counter;
  for (int i = 0; i < kOthers; ++i) {
    if (g_module_dicts[i] != dict) continue;
    g_last[i] = n;
    // A slot freed this way may serve another dict: its stamps start from a number none held before.
    if (event == PyDict_EVENT_DEALLOCATED) g_module_dicts[i] = nullptr;
    return 0;
  }
  g_last[kOthers] = n;
  return 0;
}

static int on_type_event(PyTypeObject*) noexcept {
  g_last[kOthers] = ++g_counter;
  return 0;
}

bool watch(PyObject* dict) noexcept {
  return PyDict_Watch(g_dict_watcher, dict) == 0 || (PyErr_Clear(), false);
}

bool watch(PyTypeObject* type) noexcept {
  return PyType_Watch(g_type_watcher, reinterpret_cast<PyObject*>(type)) == 0 || (PyErr_Clear(), false);
}

// One watcher of each kind for the life of the process (the module loads into one interpreter). When
// either cannot be had, the numbers stay 0 and every lookup is made in full.
static bool add_watchers(PyObject*) noexcept {
  if (g_dict_watcher < 0) g_dict_watcher = PyDict_AddWatcher(on_dict_event);
  if (g_type_watcher < 0) g_type_watcher = PyType_AddWatcher(on_type_event);
  if (g_dict_watcher < 0 || g_type_watcher < 0) {
    PyErr_Clear();
    return true;
  }
  if (!g_counter) {
    g_counter = 1;
    for (uint64_t& last : g_last) last = 1;
  }
  return true;
}
static ExecHook hook{add_watchers};

}  // namespace cache

ClassStamp ClassStamp::of(PyTypeObject* type) noexcept {
  ClassStamp s;
  if (cache::g_last[cache::kOthers] && cache::watch(type)) {
    s.type_ = Ref::borrow(reinterpret_cast<PyObject*>(type));
    s.last_ = cache::g_last[cache::kOthers];
  }
  return s;
}

bool ClassStamp::settle(PyTypeObject* type) noexcept {
  if (!type_ || last_ != cache::g_last[cache::kOthers]) return false;
  version_ = type->tp_version_tag;
  return version_ != 0;
}

#else

ClassStamp ClassStamp::of(PyTypeObject* type) noexcept {
  ClassStamp s;
  PyObject* mro = type->tp_mro;
  if (!mro || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) > kMaxMro) return s;
  const int n = static_cast<int>(PyTuple_GET_SIZE(mro));
  for (int i = 0; i < n; ++i) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    if (!dict || !PyDict_CheckExact(dict)) return s;
    s.tags_[i] = cache::version_of(dict);
  }
  s.n_ = n;
  s.mro_ = Ref::borrow(mro);
  s.type_ = Ref::borrow(reinterpret_cast<PyObject*>(type));
  return s;
}

bool ClassStamp::settle(PyTypeObject* type) noexcept {
  return type_ && holds(type);
}

#endif

PyObject* GlobalRead::get(PyObject* name) noexcept {
  PyObject* globals = module_globals();
  if (globals && stamp_.holds(globals)) return new_ref(value_);
  const DictStamp stamp = globals ? DictStamp::of(globals, true) : DictStamp();
  bool in_module;
  PyObject* v = get_global(name, &in_module);
  if (v && in_module && stamp.holds(globals)) {
    stamp_ = stamp;
    value_ = v;
  } else {
    stamp_ = DictStamp();
  }
  return v;
}

PyObject* ModuleAttrRead::get(PyObject* module, PyObject* name) noexcept {
  if (!PyModule_CheckExact(module)) return PyObject_GetAttr(module, name);
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (stamp_.holds(dict)) return new_ref(value_);
  // A plain module looks the name up on its type first: it is read from the dict only when the type,
  // which cannot change, has nothing under it (each cache reads one name).
  if (_PyType_Lookup(&PyModule_Type, name)) return PyObject_GetAttr(module, name);
  const DictStamp stamp = DictStamp::of(dict, true);
  PyObject* v = PyDict_GetItemWithError(dict, name);
  if (!v) return PyErr_Occurred() ? nullptr : PyObject_GetAttr(module, name);
  if (stamp.holds(dict)) {
    stamp_ = stamp;
    value_ = v;
  } else {
    stamp_ = DictStamp();
  }
  return new_ref(v);
}

// Whether every key of `dict` is an exact str (a small dict; a larger one is not kept).
static bool str_keys_only(PyObject* dict) noexcept {
  if (PyDict_GET_SIZE(dict) > 64) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

InstanceCache::Fill InstanceCache::begin(PyObject* obj) noexcept {
  Fill f;
  f.type = Py_TYPE(obj);
  if (f.type->tp_getattro != PyObject_GenericGetAttr) return f;
  f.cls = ClassStamp::of(f.type);
  f.dict = Ref::borrow(f.cls ? instance_dict(obj) : nullptr);
  PyObject* d = f.dict.get();
  if (d && PyDict_CheckExact(d) && stamps_instance_dict(d)) f.stamp = DictStamp::of(d);
  return f;
}

bool InstanceCache::Fill::usable(PyObject* obj) const noexcept {
  return stamp && Py_TYPE(obj) == type && instance_dict(obj) == dict.get() && str_keys_only(dict.get());
}

void InstanceCache::keep(Fill& f, PyObject* name, PyObject* in_class, PyObject* value) noexcept {
  if (!f.cls.settle(f.type) || !f.stamp.holds(f.dict.get())) return;
  // The entries belong to one name on one class in one state. What the cache let go of is released last,
  // once the cache is whole again (releasing it may run code that reads through the cache).
  ClassStamp old_cls;
  Ref old_in_class;
  if (name != name_ || !cls_.holds(f.type)) {
    old_cls = std::move(cls_);
    old_in_class = std::move(in_class_);
    name_ = name;
    cls_ = std::move(f.cls);
    in_class_ = Ref::borrow(in_class);
    for (Entry& e : entries_) e = Entry();
  }
  entry(f.dict.get()) = Entry{f.stamp, value};
}

PyObject* AttrCache::fill(PyObject* obj, PyObject* name) noexcept {
  Fill f = begin(obj);
  PyObject* v = get_attr(obj, name);
  if (!v || !f.usable(obj)) return v;
  PyObject* in_class = _PyType_Lookup(f.type, name);  // borrowed: the class holds it while the stamp holds
  if (!plain_class_value(in_class)) return v;
  PyObject* in_dict = PyDict_GetItemWithError(f.dict.get(), name);  // exact str keys: runs no code
  if ((in_dict ? in_dict : in_class) == v) keep(f, name, in_class, v);
  return v;
}

int MethodCache::fill(PyObject* obj, PyObject* name, PyObject** method) noexcept {
  Fill f = begin(obj);
  const int unbound = compat::get_method(obj, name, method);
  // Unbound: the class has the descriptor and the instance dict had nothing under the name.
  if (unbound && f.usable(obj) && _PyType_Lookup(f.type, name) == *method) keep(f, name, *method, *method);
  return unbound;
}

#if PY_VERSION_HEX >= 0x030D0000
static Name n_dunder_dict{"__dict__"};
#endif

void own_instance_dict(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyTypeObject* tp = Py_TYPE(obj);
  if (!PyType_HasFeature(tp, Py_TPFLAGS_INLINE_VALUES) || tp->tp_getattro != PyObject_GenericGetAttr ||
      tp->tp_setattro != PyObject_GenericSetAttr)
    return;
  // Set through the class's own `__dict__` slot, which also retires the inline attributes (setting the
  // dict pointer alone would leave them in use beside the new dict).
  PyObject* slot = _PyType_Lookup(tp, n_dunder_dict);
  if (!slot || !Py_IS_TYPE(slot, &PyGetSetDescr_Type)) return;
  Ref dict(PyObject_GenericGetDict(obj, nullptr));
  if (!dict || !PyDict_CheckExact(dict.get()) || stamps_instance_dict(dict.get())) {
    PyErr_Clear();
    return;
  }
  // Exact str keys are copied without running code; the object then keeps its attributes in `own`.
  Ref own(PyDict_New());
  if (!own || PyDict_Update(own.get(), dict.get()) < 0 ||
      PyObject_GenericSetAttr(obj, n_dunder_dict, own.get()) < 0)
    PyErr_Clear();
#else
  (void)obj;
#endif
}

}  // namespace ac
