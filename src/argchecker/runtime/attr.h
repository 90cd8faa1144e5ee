// `obj.name` for the attributes the hot path reads (a checker's `rules` and `arg_name`, the class
// constants that rules read through the checker).
#pragma once
#include <Python.h>

#include <cstdint>

#include "runtime/cache.h"
#include "runtime/ref.h"

namespace ac {

// `obj.name`, as PyObject_GetAttr: an object with the generic attribute lookup whose type has nothing
// under that name (so no descriptor takes part) is answered from its instance dict, which is all the
// generic lookup would do; every other case takes the generic route. A new reference, or null with an
// error set.
inline PyObject* get_attr(PyObject* obj, PyObject* name) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp == &PyType_Type) {
    // A class made by `type` itself: with nothing under the name on `type`, the lookup returns the
    // class attribute as it is unless it is a descriptor.
    PyObject* a = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(obj), name);
    if (a && !Py_TYPE(a)->tp_descr_get && !_PyType_Lookup(&PyType_Type, name)) return new_ref(a);
    return PyObject_GetAttr(obj, name);
  }
  if (tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dict && !_PyType_Lookup(tp, name)) {
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    if (dictptr && *dictptr) {
      Ref dict = Ref::borrow(*dictptr);  // held: a key's __eq__ may replace it while it is searched
      if (PyObject* v = PyDict_GetItemWithError(dict.get(), name)) return new_ref(v);
      if (PyErr_Occurred()) return nullptr;
    }
  }
  return PyObject_GetAttr(obj, name);
}

// The instance dict of `obj` (borrowed), or null when it has none yet.
inline PyObject* instance_dict(PyObject* obj) noexcept {
  const Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
  if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
  if (offset == 0) return nullptr;
  PyObject** p = _PyObject_GetDictPtr(obj);  // a managed dict is made here if the object has none
  return p ? *p : nullptr;
}

// Reads of one attribute name on instances of one class with the generic attribute lookup, where the
// class has nothing under the name or a value no descriptor protocol applies to: the lookup then finds the
// instance dict's value, or else the class's. Answered while the class and the instance dict keep their
// stamps and the class value's type still has no `__get__`. An instance dict is kept only while all its
// keys are exact strs, so no key's `__eq__` is skipped. The cache holds no reference to an instance or its
// dict (checkers stay collectable): an instance value is borrowed from the very dict whose stamp was just
// found to hold, a class value from the class value the cache holds.
class AttrCache {
 public:
  // A new reference, or null with an error set.
  PyObject* get(PyObject* obj, PyObject* name) noexcept {
    if (name == name_ && cls_.holds(Py_TYPE(obj)) && plain_class_value(in_class_.get())) {
      if (PyObject* dict = instance_dict(obj)) {
        const Entry& e = entry(dict);
        if (e.stamp.holds(dict)) return new_ref(e.value);
      }
    }
    return fill(obj, name);
  }

 private:
  struct Entry {
    DictStamp stamp;
    PyObject* value = nullptr;  // borrowed, see above
  };
  // By dict address: the checkers of one decorated call rarely share a slot.
  Entry& entry(PyObject* dict) noexcept { return entries_[(reinterpret_cast<uintptr_t>(dict) >> 6) & 7]; }
  PyObject* fill(PyObject* obj, PyObject* name) noexcept;

  PyObject* name_ = nullptr;  // one of the module's interned names
  ClassStamp cls_;
  Ref in_class_;  // what the class has under the name, or null
  Entry entries_[8];
};

// `obj.name` for a call, as the interpreter's method lookup (`compat::get_method`) makes it, on instances
// of one class with the generic attribute lookup: where the class has a method descriptor under the name
// and the instance dict has nothing under it, the answer is the descriptor itself, to be called with
// `obj` in front. Kept while the class and the instance dict keep their stamps (the dict with exact str
// keys only, as in AttrCache); every other case takes the interpreter's lookup.
class MethodCache {
 public:
  // As `compat::get_method`: 1 with *method the descriptor, or 0 with *method the attribute or null
  // with an error set (new references).
  int get(PyObject* obj, PyObject* name, PyObject** method) noexcept {
    if (name == name_ && cls_.holds(Py_TYPE(obj)) &&
        PyType_HasFeature(Py_TYPE(descr_.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
      PyObject* dict = instance_dict(obj);
      if (dict && entry(dict).holds(dict)) {
        *method = new_ref(descr_.get());
        return 1;
      }
    }
    return fill(obj, name, method);
  }

 private:
  DictStamp& entry(PyObject* dict) noexcept { return entries_[(reinterpret_cast<uintptr_t>(dict) >> 6) & 7]; }
  int fill(PyObject* obj, PyObject* name, PyObject** method) noexcept;

  PyObject* name_ = nullptr;  // one of the module's interned names
  ClassStamp cls_;
  Ref descr_;             // the method descriptor the class has under the name
  DictStamp entries_[8];  // instance dicts found without the name
};

// `obj.name` as `get_attr`, answered from `cache` while its stamps hold.
inline PyObject* get_attr(PyObject* obj, PyObject* name, AttrCache& cache) noexcept {
  return cache.get(obj, name);
}

}  // namespace ac
