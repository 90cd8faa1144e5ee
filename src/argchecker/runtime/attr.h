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

// What AttrCache and MethodCache share: reads of one attribute name on instances of one class with the
// generic attribute lookup, kept per instance dict while the class and the dict keep their stamps. An
// instance dict is kept only while all its keys are exact strs, so no key's `__eq__` is skipped. The
// cache holds no reference to an instance or its dict (checkers stay collectable): an instance value is
// borrowed from the very dict whose stamp was just found to hold, a class value from `in_class_`, which
// the cache holds.
class InstanceCache {
 protected:
  // The value kept for `obj` (borrowed), or null.
  PyObject* kept(PyObject* obj, PyObject* name) noexcept {
    if (name != name_ || !cls_.holds(Py_TYPE(obj))) return nullptr;
    PyObject* dict = instance_dict(obj);
    if (!dict) return nullptr;
    const Entry& e = entry(dict);
    return e.stamp.holds(dict) ? e.value : nullptr;
  }

  // A lookup made in full: its stamps are taken before it (`begin`), so that whatever it changes fails
  // them; the class is held by its stamp and the dict for the lookup, which may replace it.
  struct Fill {
    PyTypeObject* type = nullptr;
    ClassStamp cls;
    Ref dict;
    DictStamp stamp;
    // After the lookup: `obj` still has the class and dict stamped, a dict of exact str keys.
    bool usable(PyObject* obj) const noexcept;
  };
  static Fill begin(PyObject* obj) noexcept;
  // Keeps `value` (found by the lookup, or the class's `in_class`) for the dict of `f`, if the stamps
  // still hold after every read the lookup and the caller made.
  void keep(Fill& f, PyObject* name, PyObject* in_class, PyObject* value) noexcept;

  PyObject* name_ = nullptr;  // one of the module's interned names
  ClassStamp cls_;
  Ref in_class_;  // what the class has under the name, or null

 private:
  struct Entry {
    DictStamp stamp;
    PyObject* value = nullptr;  // borrowed, see above
  };
  // By dict address: the checkers of one decorated call rarely share a slot.
  Entry& entry(PyObject* dict) noexcept { return entries_[(reinterpret_cast<uintptr_t>(dict) >> 6) & 7]; }
  Entry entries_[8];
};

// `obj.name` where the class has nothing under the name or a value no descriptor protocol applies to:
// the lookup then finds the instance dict's value, or else the class's. Answered while the stamps hold
// and the class value's type still has no `__get__`.
class AttrCache : InstanceCache {
 public:
  // A new reference, or null with an error set.
  PyObject* get(PyObject* obj, PyObject* name) noexcept {
    if (plain_class_value(in_class_.get())) {
      if (PyObject* v = kept(obj, name)) return new_ref(v);
    }
    return fill(obj, name);
  }

 private:
  PyObject* fill(PyObject* obj, PyObject* name) noexcept;
};

// `obj.name` for a call, as the interpreter's method lookup (`compat::get_method`) makes it: where the
// class has a method descriptor under the name and the instance dict has nothing under it, the answer
// is the descriptor itself, to be called with `obj` in front. Answered while the stamps hold and the
// descriptor's type is still a method descriptor type; every other case takes the interpreter's lookup.
class MethodCache : InstanceCache {
 public:
  // As `compat::get_method`: 1 with *method the descriptor, or 0 with *method the attribute or null
  // with an error set (new references).
  int get(PyObject* obj, PyObject* name, PyObject** method) noexcept {
    if (in_class_ && PyType_HasFeature(Py_TYPE(in_class_.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
      if (PyObject* descr = kept(obj, name)) {
        *method = new_ref(descr);
        return 1;
      }
    }
    return fill(obj, name, method);
  }

 private:
  int fill(PyObject* obj, PyObject* name, PyObject** method) noexcept;
};

// `obj.name` as `get_attr`, answered from `cache` while its stamps hold.
inline PyObject* get_attr(PyObject* obj, PyObject* name, AttrCache& cache) noexcept {
  return cache.get(obj, name);
}

}  // namespace ac
