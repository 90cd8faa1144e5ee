// `obj.name` for the attributes the hot path reads (a checker's `rules` and `arg_name`, the class's
// `ALLOW_ARG_CHECK`, the class constants that rules read through the checker).
#pragma once
#include <Python.h>

#include <cstdint>

#include "runtime/globals.h"
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

// What reads of one attribute name last found on instances of a class, kept while the interpreter's
// version tags show that nothing the lookup depends on has changed: the class (with its bases) has
// nothing under the name, or a plain value that no descriptor protocol applies to, and the instance
// dict (a split one: every key a str, so no key's `__eq__` would run) is in the same state. Values are
// borrowed from the dict that holds them (the instance's or the class's) while the tags stand.
struct AttrCache {
  PyTypeObject* type = nullptr;  // the last class seen, under `type_tag`
  unsigned type_tag = 0;
  PyObject* name = nullptr;  // the name read, one of the module's interned strs
  struct Entry {
    uint64_t dict_tag = 0;
    PyObject* value = nullptr;
  };
  Entry entries[8];  // by dict address: the checkers of one decorated call rarely share a slot
  Entry& entry(PyObject* dict) noexcept { return entries[(reinterpret_cast<uintptr_t>(dict) >> 6) & 7]; }
};

// `obj.name` as above, answered from `cache` when the tags allow.
inline PyObject* get_attr(PyObject* obj, PyObject* name, AttrCache& cache) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  (void)cache;  // no version tags to rely on (see `type_tag`)
  return get_attr(obj, name);
#else
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp == cache.type && name == cache.name && cache.type_tag && type_tag(tp) == cache.type_tag) {
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + tp->tp_dictoffset);
    if (dict) {
      AttrCache::Entry& e = cache.entry(dict);
      if (e.dict_tag == dict_tag(dict)) return new_ref(e.value);
    }
  }
  PyObject* v = get_attr(obj, name);
  if (!v || tp->tp_getattro != PyObject_GenericGetAttr || tp->tp_dictoffset <= 0) return v;
  const unsigned tag = type_tag(tp);
  PyObject* in_class = _PyType_Lookup(tp, name);
  if (!tag || (in_class && Py_TYPE(in_class)->tp_descr_get)) return v;
  // The entries belong to one name on one class.
  if (cache.type != tp || cache.type_tag != tag || cache.name != name) cache = AttrCache{tp, tag, name};
  PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + tp->tp_dictoffset);
  if (dict && PyDict_CheckExact(dict) && _PyDict_HasSplitTable(reinterpret_cast<PyDictObject*>(dict))) {
    PyObject* in_dict = PyDict_GetItemWithError(dict, name);  // str keys only: cannot fail
    if ((in_dict ? in_dict : in_class) == v) cache.entry(dict) = AttrCache::Entry{dict_tag(dict), v};
  }
  return v;
#endif
}

}  // namespace ac
