// Stamps, and the caches of lookups that the hot path makes at every call.
//
// A cache answers a lookup only with what the full lookup would answer at that moment, by construction:
// it is keyed on stamps that never repeat, or on invalidation that the interpreter announces, and the full
// lookup is the fallback whenever a stamp does not hold. A stamp is always taken before the lookup it
// vouches for, so that anything the lookup itself changes fails it.
//
// - DictStamp, the state of one dict.
//   Up to 3.11: the dict's version tag. Every change of any dict draws a new tag from one 64-bit counter
//   shared by all dicts, so a tag names one dict in one state and never comes back.
//   From 3.12 (where that tag is deprecated): the dict is watched (PyDict_Watch), and every event of a
//   watched dict (a change, or its deallocation) draws a new number from one counter into the dict's
//   slot (see cache::g_last); the stamp is the dict's address with its slot's number. The address is
//   only compared, never followed: a dict that went away drew a new number when it did.
// - ClassStamp, the state of everything `_PyType_Lookup(cls, name)` reads: the class's MRO and the dict
//   of each class in it.
//   Up to 3.11: the MRO tuple (held) and the version tag of each of those dicts. Type version tags are not
//   used: 3.9 and 3.10 hand the same numbers out again after `sys._clear_type_cache()` or a wrap-around.
//   From 3.12: the class is held and watched (PyType_Watch announces a change of the class or of a base),
//   with the shared slot's number and the class's version tag (never reused there, cleared by a change).
// No stamp covers the type of a value found in a class: a cache that answers with such a value checks at
// each hit that the value's type still takes no part in the descriptor protocol (`tp_descr_get`).
#pragma once
#include <Python.h>

#include <cstdint>

#include "runtime/ref.h"

#if PY_VERSION_HEX >= 0x030C0000
#define AC_CACHE_WATCHERS 1
#endif

namespace ac {

namespace cache {
#ifdef AC_CACHE_WATCHERS
// Every event of a watched dict or class draws the next number of one counter. A few module dicts (the
// module's own, inspect's) keep the number of their own last event, each in a slot of its own, so that
// what happens to instance dicts and classes (a checker made and dropped at every call) does not touch
// the module-level caches; every other dict and every class share the last slot. The numbers are 0
// while the watchers could not be had (each kind has a handful of ids per interpreter): nothing is
// cached then.
constexpr int kOthers = 8;            // the shared slot; module dicts have the ones below it
extern uint64_t g_last[kOthers + 1];  // per slot, the number of its last event
int module_slot(PyObject* dict) noexcept;
bool watch(PyObject* dict) noexcept;
bool watch(PyTypeObject* type) noexcept;
#else
inline uint64_t version_of(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif
}  // namespace cache

class DictStamp {
 public:
  DictStamp() noexcept = default;
  // The stamp of `dict` (an exact dict) as it is now; empty where none can be had. `module_dict`: a
  // module's namespace, which keeps its own slot where one is free.
  static DictStamp of(PyObject* dict, bool module_dict = false) noexcept {
    DictStamp s;
#ifdef AC_CACHE_WATCHERS
    if (cache::g_last[cache::kOthers] && cache::watch(dict)) {
      s.dict_ = dict;
      s.slot_ = module_dict ? cache::module_slot(dict) : cache::kOthers;
      s.last_ = cache::g_last[s.slot_];
    }
#else
    (void)module_dict;
    s.tag_ = cache::version_of(dict);
#endif
    return s;
  }
  // Whether `dict` is the dict stamped, in the same state.
  bool holds(PyObject* dict) const noexcept {
#ifdef AC_CACHE_WATCHERS
    return last_ && cache::g_last[slot_] == last_ && dict == dict_;
#else
    return tag_ && cache::version_of(dict) == tag_;
#endif
  }
  explicit operator bool() const noexcept {
#ifdef AC_CACHE_WATCHERS
    return last_ != 0;
#else
    return tag_ != 0;
#endif
  }

 private:
#ifdef AC_CACHE_WATCHERS
  PyObject* dict_ = nullptr;  // compared, never followed
  int slot_ = cache::kOthers;
  uint64_t last_ = 0;
#else
  uint64_t tag_ = 0;
#endif
};

class ClassStamp {
 public:
  ClassStamp() noexcept = default;
  ClassStamp(ClassStamp&&) noexcept = default;
  ClassStamp& operator=(ClassStamp&&) noexcept = default;

  // The stamp of `type` as it is now, taken before the lookup; empty where none can be had.
  static ClassStamp of(PyTypeObject* type) noexcept;
  // After the lookup: whether the stamp still holds and can be kept (from 3.12 it takes the version
  // tag that the lookup gave the class; a class that has none would not announce its next change).
  bool settle(PyTypeObject* type) noexcept;
  // Whether `type` is the class stamped, in the same state.
  bool holds(PyTypeObject* type) const noexcept {
    if (reinterpret_cast<PyObject*>(type) != type_.get()) return false;
#ifdef AC_CACHE_WATCHERS
    return last_ == cache::g_last[cache::kOthers] && version_ && type->tp_version_tag == version_;
#else
    if (type->tp_mro != mro_.get()) return false;
    for (int i = 0; i < n_; ++i) {
      auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro_.get(), i));
      if (cache::version_of(base->tp_dict) != tags_[i]) return false;
    }
    return true;
#endif
  }
  explicit operator bool() const noexcept { return static_cast<bool>(type_); }
  // The class stamped (borrowed from the stamp), or null.
  PyTypeObject* type() const noexcept { return reinterpret_cast<PyTypeObject*>(type_.get()); }

 private:
  Ref type_;
#ifdef AC_CACHE_WATCHERS
  uint64_t last_ = 0;
  unsigned version_ = 0;
#else
  static constexpr int kMaxMro = 8;
  Ref mro_;
  int n_ = 0;
  uint64_t tags_[kMaxMro] = {};
#endif
};

// Whether every change of the instance dict `dict` reaches its stamp. From 3.13 an object of a class
// without __slots__ keeps its attributes inline, beside a dict made from them when one is asked for (the
// dict then shares them: a split table), and CPython 3.13.0 stores such attributes without telling the
// dict's watchers. A dict that holds its entries itself (a combined table) sees every change.
inline bool stamps_instance_dict(PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return reinterpret_cast<PyDictObject*>(dict)->ma_values == nullptr;
#else
  (void)dict;
  return true;
#endif
}

// From 3.13: gives `obj` (a new checker) an instance dict that holds its entries itself, in place of the
// inline attributes, so that its reads can be cached (see stamps_instance_dict). Nothing else about the
// object changes; where that cannot be done, it stays as it is.
void own_instance_dict(PyObject* obj) noexcept;

// Whether the lookup on a class would hand `value` (found in the class) out as it is: its type takes no
// part in the descriptor protocol. Re-checked at every hit, as no stamp covers it.
inline bool plain_class_value(PyObject* value) noexcept {
  return !value || !Py_TYPE(value)->tp_descr_get;
}

// A module global, as `get_global` finds it, answered while the module dict keeps its stamp. The value
// is borrowed from that dict, which holds it while the stamp holds.
class GlobalRead {
 public:
  // A new reference, or null with an error set.
  PyObject* get(PyObject* name) noexcept;

 private:
  DictStamp stamp_;
  PyObject* value_ = nullptr;
};

// `module.name`: for a plain module that is a lookup in its dict, answered while the dict keeps its
// stamp (the value borrowed from it); anything else takes the generic route.
class ModuleAttrRead {
 public:
  // A new reference, or null with an error set.
  PyObject* get(PyObject* module, PyObject* name) noexcept;

 private:
  DictStamp stamp_;
  PyObject* value_ = nullptr;
};

}  // namespace ac
