// The classes' answers for the hot names, and the reads made from them.
#include "runtime/cache/cache.h"
#include "runtime/compat.h"
#include "runtime/globals.h"

namespace ac {

namespace cache {
namespace {

ClassAnswer::Kind kind_of(PyObject* found) noexcept {
  if (!found) return ClassAnswer::kAbsent;
  PyTypeObject* t = Py_TYPE(found);
  if (PyType_HasFeature(t, Py_TPFLAGS_METHOD_DESCRIPTOR)) return ClassAnswer::kMethod;
  return t->tp_descr_get ? ClassAnswer::kOther : ClassAnswer::kValue;
}

}  // namespace

ClassRecord g_class_records[8];

ClassAnswer* look_up(PyTypeObject* type, const HotName& name) noexcept {
  ClassStamp stamp = ClassStamp::of(type);  // before the lookup, which may run a key's __eq__
  if (!stamp) return nullptr;
  PyObject* found = _PyType_Lookup(type, name);  // borrowed, sets no error
  // `type` is a static class, which cannot change.
  const ClassAnswer answer{kind_of(found), _PyType_Lookup(&PyType_Type, name) != nullptr, found, -1};
  if (!stamp.settle(type)) return nullptr;
  ClassRecord& r = record_of(type);
  if (!(r.stamp == stamp)) {
    r.stamp = stamp;
    for (ClassAnswer& a : r.answers) a = ClassAnswer();
  }
  r.answers[name.index()] = answer;
  return &r.answers[name.index()];
}

namespace {

// The globals read through the module's namespace in one state.
struct GlobalsRecord {
  DictStamp stamp;
  PyObject* values[HotName::kMax] = {};  // borrowed from the dict, see read_global
};
GlobalsRecord g_globals_record;

}  // namespace

AC_NOINLINE static PyObject* read_global_in_full(PyObject* globals, const HotName& name) noexcept {
  const DictStamp stamp = globals ? DictStamp::of(globals) : DictStamp();  // before the lookup
  bool in_module;
  PyObject* v = get_global(name, &in_module);
  if (v && in_module && name.index() >= 0 && stamp.holds(globals)) {
    GlobalsRecord& r = g_globals_record;
    if (!(r.stamp == stamp)) {
      r.stamp = stamp;
      for (PyObject*& each : r.values) each = nullptr;
    }
    r.values[name.index()] = v;
  }
  return v;
}

}  // namespace cache

PyObject* read_global(const HotName& name) noexcept {
  PyObject* globals = module_globals();
  cache::GlobalsRecord& r = cache::g_globals_record;
  if (AC_LIKELY(globals && name.index() >= 0 && r.stamp.holds(globals))) {
    PyObject* v = r.values[name.index()];
    if (AC_LIKELY(v && Py_REFCNT(v) > 0)) return new_ref(v);
  }
  return cache::read_global_in_full(globals, name);
}

namespace cache {

// Where `dict` has `name` (as that very object), or -1; for a small dict, without running code.
static Py_ssize_t place_of(PyObject* dict, PyObject* name) noexcept {
  if (PyDict_GET_SIZE(dict) > 16) return -1;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (key == name) return pos - 1;
  }
  return -1;
}

// The entry of the instance dict `dict` for `name`, looked up as the generic lookup does, with the dict
// held across it (a key's __eq__ may replace it): 1 with *value a new reference, 0 when there is none, -1
// with an error set.
static int instance_entry(PyObject* dict, PyObject* name, PyObject** value) noexcept {
  Ref held = Ref::borrow(dict);
  if (PyObject* v = PyDict_GetItemWithError(dict, name)) {
    *value = new_ref(v);
    return 1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

PyObject* read_instance(PyObject* obj, PyObject* name, PyObject* in_class, Py_ssize_t& hint) noexcept {
  PyObject* raw = instance_dict(obj);
  if (raw && hint >= 0) {
    // An entry whose key is this very name object is the dict's entry for the name (keys are unique):
    // found from the hint, it is what the lookup would find, and taking it runs no code.
    Py_ssize_t pos = hint;
    PyObject *key, *value;
    if (PyDict_Next(raw, &pos, &key, &value) && key == name) return new_ref(value);
  }
  // Held across the dict lookup, as the generic lookup holds it: a key's __eq__ may change the class,
  // and the class's value found before it is the one handed out.
  Ref class_value = Ref::borrow(in_class);
  if (raw) {
    Ref dict = Ref::borrow(raw);
    PyObject* found;
    const int has = instance_entry(dict.get(), name, &found);
    if (has < 0) return nullptr;
    if (has) {
      const Py_ssize_t place = place_of(dict.get(), name);
      if (place >= 0) hint = place;
      return found;
    }
  }
  if (class_value) return class_value.release();
  return PyObject_GetAttr(obj, name);  // nothing anywhere: the generic lookup's own error
}

}  // namespace cache

int read_method(PyObject* obj, const HotName& name, PyObject** method) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  *method = nullptr;
  if (tp->tp_getattro == PyObject_GenericGetAttr) {
    const cache::ClassAnswer* a = cache::class_answer(tp, name);
    if (a && a->kind == cache::ClassAnswer::kMethod &&
        PyType_HasFeature(Py_TYPE(a->value), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
      Ref descr = Ref::borrow(a->value);  // held across the dict lookup, see read_instance
      if (PyObject* dict = cache::instance_dict(obj)) {
        const int has = cache::instance_entry(dict, name, method);
        if (has != 0) return 0;  // the instance's own attribute, or null with the error
      }
      *method = descr.release();
      return 1;
    }
  }
  return compat::get_method(obj, name, method);
}

}  // namespace ac
