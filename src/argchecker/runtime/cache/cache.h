// Every cache of the module, and what each one rests on.
//
// The invariant. A cache answers a lookup only with what the full lookup would answer at that moment, by
// construction, including while the interpreter is in the middle of replacing a value (releasing the old
// value can run a `__del__` that calls the module). So a cache rests only on changes that the interpreter
// announces *before* what the cache vouches for can be replaced or released:
// - the version tag of a module's or a class's dict (up to 3.13): every store into such a dict goes
//   through the generic dict code, which gives the dict a new tag before it releases the old value. Tags
//   are drawn from one 64-bit counter for all dicts, so a tag names one dict in one state and never comes
//   back, and a dict made later (at the same address, say) has a tag no stamp holds;
// - from 3.12 also the dict watcher, whose events come before the change: every event of any watched
//   dict draws the next number of one counter (`g_epoch`), which fails every stamp taken before it,
//   whatever that stamp was taken for. Where the watcher cannot be had, nothing is cached from 3.12 on;
// - the audit event "object.__setattr__", which Python code raises before it sets a function's
//   `__code__`, `__defaults__` or `__kwdefaults__` or a class's `__bases__` or `__class__` (see Snapshot).
// Nothing read from an instance dict is ever kept: stores into instance dicts do not keep that order
// (3.11's specialised stores release the old value first and re-tag the dict after; 3.13 keeps attributes
// inline beside the dict without telling its watchers). An instance attribute is read from the live dict
// at every use; what is kept is the class's part of the lookup (`ClassAnswer`): that nothing on the class
// intercepts the read, and what the class holds under the name. The same specialised stores reach a
// module's namespace made some object's `__dict__`: `read_global` rules out the one value they can leave
// behind (see there).
//
// The protocol, written once for each record (`look_up`, `read_global_in_full`, `Snapshot::recheck`):
// the stamp is taken before the lookup, the lookup is made in full, and its answer is kept only if the
// stamp still holds after it (the lookup may run code that changes what it read). Whenever a stamp does
// not hold, the full lookup answers.
//
// What the caches hold. A class answer borrows the class's value from the class dict, which holds it while
// the class's stamp holds, and is handed out only after that stamp was just checked; a class is recognised
// by its address and stamp, never held (when it goes away, its dict goes with it: a new tag, an event). A
// module global is borrowed from the module dict in the same way. A snapshot holds what it recognises, for
// the process's life. Type version tags are not stamps before 3.12: 3.9 and 3.10 hand them out again. (A
// class's dict made some object's `__dict__` by way of `gc.get_referents` takes stores that bypass the
// interpreter's own type cache too: not covered.)
#pragma once
#include <Python.h>

#include <cstdint>
#include <new>
#include <vector>

#include "runtime/names.h"
#include "runtime/portable.h"
#include "runtime/ref.h"

#if PY_VERSION_HEX >= 0x030C0000
#define AC_CACHE_WATCHERS 1
#endif

namespace ac {

// An object with static storage that lives as long as the process: made before the module loads, never
// destroyed, since the references it holds would be released after the interpreter is gone (static
// destructors run at exit, after finalisation). The storage of every cache that holds references.
template <class T>
class Forever {
 public:
  Forever() noexcept { new (storage_) T(); }
  Forever(const Forever&) = delete;
  Forever& operator=(const Forever&) = delete;
  T& operator*() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() noexcept { return &**this; }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

namespace cache {

// The version tag of `dict` (an exact dict).
inline uint64_t tag_of(PyObject* dict) noexcept {
  AC_ALLOW_DEPRECATED_BEGIN
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
  AC_ALLOW_DEPRECATED_END
}

#ifdef AC_CACHE_WATCHERS
// The number of the last event of any watched dict; 0 while there is no watcher.
extern uint64_t g_epoch;
// Whether dicts can be watched (the watcher is added at the first call).
bool watching() noexcept;
// Watches `dict` (an exact dict). False when it cannot be watched.
bool watch(PyObject* dict) noexcept;
#endif

// The state of a module's or a class's dict, never an instance's.
class DictStamp {
 public:
  // The stamp of `dict` (an exact dict) as it is now; empty when none can be had.
  static DictStamp of(PyObject* dict) noexcept {
    DictStamp s;
#ifdef AC_CACHE_WATCHERS
    if (!watch(dict)) return s;
    s.epoch_ = g_epoch;
#endif
    s.tag_ = tag_of(dict);
    return s;
  }
  // Whether `dict` (alive: the caller knows what holds it) is in the state stamped.
  bool holds(PyObject* dict) const noexcept {
#ifdef AC_CACHE_WATCHERS
    if (epoch_ != g_epoch) return false;
#endif
    return tag_ && tag_of(dict) == tag_;
  }
  explicit operator bool() const noexcept { return tag_ != 0; }
  bool operator==(const DictStamp& o) const noexcept {
#ifdef AC_CACHE_WATCHERS
    if (epoch_ != o.epoch_) return false;
#endif
    return tag_ == o.tag_;
  }

 private:
  uint64_t tag_ = 0;
#ifdef AC_CACHE_WATCHERS
  uint64_t epoch_ = 0;
#endif
};

// The state of everything `_PyType_Lookup(type, name)` reads: the class's MRO and the dict of each heap
// class in it. (A static class, `object` say, cannot be changed from Python code; C code that changes one
// must call PyType_Modified, which from 3.12 clears the version tag of every class below it, part of the
// stamp there.) The class and its MRO are compared by address, never followed unless `holds` is given the
// class itself.
class ClassStamp {
 public:
  // The stamp of `type` as it is now, taken before the lookup; empty when none can be had.
  static ClassStamp of(PyTypeObject* type) noexcept;
  // After the lookup: whether the stamp still holds and can be kept (from 3.12 it takes the version tag
  // the lookup gave the class; a class that has none is not kept).
  bool settle(PyTypeObject* type) noexcept;
  // Whether `type` (alive: the type of a live object, say) is the class stamped, in the same state.
  bool holds(PyTypeObject* type) const noexcept {
    if (type != type_ || type->tp_mro != mro_) return false;
#ifdef AC_CACHE_WATCHERS
    if (epoch_ != g_epoch || type->tp_version_tag != version_) return false;
#endif
    for (int k = 0; k < n_; ++k) {
      if (tag_of(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro_, heap_[k]))->tp_dict) != tags_[k])
        return false;
    }
    return true;
  }
  explicit operator bool() const noexcept { return type_ != nullptr; }
  bool operator==(const ClassStamp& o) const noexcept;

 private:
  static constexpr int kMaxMro = 8;
  PyTypeObject* type_ = nullptr;
  PyObject* mro_ = nullptr;
  int n_ = 0;  // the heap classes of the MRO, by their places in it
  uint8_t heap_[kMaxMro] = {};
  uint64_t tags_[kMaxMro] = {};
#ifdef AC_CACHE_WATCHERS
  uint64_t epoch_ = 0;
  unsigned version_ = 0;
#endif
};

}  // namespace cache

// ---- attribute reads of the hot path ----------------------------------------------------------------

namespace cache {

// What a class holds under a hot name, as `_PyType_Lookup` finds it, kept while the class's stamp holds.
struct ClassAnswer {
  enum Kind : uint8_t {
    kUnknown,  // not looked up
    kAbsent,   // nothing under the name
    kValue,    // a value no descriptor protocol applied to when it was found
    kMethod,   // a method descriptor (its type has Py_TPFLAGS_METHOD_DESCRIPTOR)
    kOther,    // anything else: the generic lookup
  };
  Kind kind = kUnknown;
  bool on_type =
      false;  // `type` itself has something under the name (a class's own lookup looks there first)
  PyObject* value = nullptr;  // borrowed from the class, see above
  Py_ssize_t hint = -1;       // where instance dicts last had the name (a place to look, never a value)
};

// The answers of one class in one state. A few records, chosen by the class's address: the checkers of
// one call rarely have more than one class.
struct ClassRecord {
  ClassStamp stamp;
  ClassAnswer answers[HotName::kMax];
};
extern ClassRecord g_class_records[8];
inline ClassRecord& record_of(PyTypeObject* type) noexcept {
  return g_class_records[(reinterpret_cast<uintptr_t>(type) >> 4) & 7];
}
ClassAnswer* look_up(PyTypeObject* type, const HotName& name) noexcept;

// The answer of the class `type` for `name`, from the class's record while its stamp holds, else looked
// up (and kept where the stamps allow); null when no answer can be given (the generic route then).
AC_ALWAYS_INLINE ClassAnswer* class_answer(PyTypeObject* type, const HotName& name) noexcept {
  if (AC_UNLIKELY(name.index() < 0)) return nullptr;
  ClassRecord& r = record_of(type);
  if (AC_LIKELY(r.stamp.holds(type))) {
    ClassAnswer& a = r.answers[name.index()];
    if (AC_LIKELY(a.kind != ClassAnswer::kUnknown)) return &a;
  }
  return look_up(type, name);
}

// The instance dict of `obj` (borrowed), or null when it has none. From 3.11 an object that keeps its
// attributes inline is given the dict the interpreter makes from them (and reads through).
inline PyObject* instance_dict(PyObject* obj) noexcept {
  const Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
  if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
  if (offset == 0) return nullptr;
  PyObject** p = _PyObject_GetDictPtr(obj);
  return p ? *p : nullptr;
}

// The instance dict's part of the generic lookup, once the class's part found `in_class` (a value to hand
// out as it is, or null): the dict's entry, else `in_class`, else the generic lookup (for its error).
// `hint` is where the dicts of the class's instances last had the name.
PyObject* read_instance(PyObject* obj, PyObject* name, PyObject* in_class, Py_ssize_t& hint) noexcept;

}  // namespace cache

// The module global `name`, as `get_global` finds it: a new reference, or null with NameError. Answered
// from the record of the module's namespace while that dict keeps its stamp, the value borrowed from the
// dict, which holds it meanwhile. With one exception, which the read rules out: 3.11's specialised
// attribute store into a dict used as some object's `__dict__` (a module's namespace can be made one)
// releases the old value before it re-tags the dict. Code run by that release (the `__del__` of what the
// old value held) meets the value being released, whose reference count is 0 by then, and takes the full
// lookup. (Only the old value's own `__del__`, which runs while that value is alive again, still gets it.)
PyObject* read_global(const HotName& name) noexcept;

// `obj.name`, as PyObject_GetAttr. A new reference, or null with an error set.
inline PyObject* read_attr(PyObject* obj, const HotName& name) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp->tp_getattro == PyObject_GenericGetAttr) {
    cache::ClassAnswer* a = cache::class_answer(tp, name);
    if (a && a->kind == cache::ClassAnswer::kAbsent) return cache::read_instance(obj, name, nullptr, a->hint);
    // The value's type is checked at each use: no stamp covers it, and it may gain a __get__.
    if (a && a->kind == cache::ClassAnswer::kValue && !Py_TYPE(a->value)->tp_descr_get)
      return cache::read_instance(obj, name, a->value, a->hint);
  }
  return PyObject_GetAttr(obj, name);
}

// `cls.name` for a class whose metaclass is `type` itself, as type's own lookup makes it; anything else
// takes PyObject_GetAttr. A new reference, or null with an error set.
inline PyObject* read_class_attr(PyObject* cls, const HotName& name) noexcept {
  if (Py_TYPE(cls) == &PyType_Type) {
    cache::ClassAnswer* a = cache::class_answer(reinterpret_cast<PyTypeObject*>(cls), name);
    if (a && a->kind == cache::ClassAnswer::kValue && !a->on_type && !Py_TYPE(a->value)->tp_descr_get)
      return new_ref(a->value);
  }
  return PyObject_GetAttr(cls, name);
}

// `obj.name` for a call, as the interpreter's method lookup makes it: where the class has a method
// descriptor under the name and the instance dict has nothing under it, sets *method to the descriptor
// and returns 1 (the caller passes `obj` in front); otherwise sets *method to the attribute (or null with
// an error set) and returns 0.
int read_method(PyObject* obj, const HotName& name, PyObject** method) noexcept;

// A value made from `key` alone (an immutable object, such as a code object), kept in `slot` as a tuple
// whose first item is `key` and made again by `make(key)` when `key` is another object. Borrowed from
// `slot`, or null with an error set.
template <class Make>
PyObject* derived_from(PyObject*& slot, PyObject* key, Make make) noexcept {
  if (slot && PyTuple_GET_ITEM(slot, 0) == key) return slot;
  PyObject* made = make(key);
  if (!made) return nullptr;
  Py_XSETREF(slot, made);
  return made;
}

// ---- unchanged since load ---------------------------------------------------------------------------

// What some code the module shortcuts (inspect.getcallargs, strptime, NumPy's reductions) consists of, as
// it was when the module loaded: entries of module and class dicts (a name holds the same object, or
// nothing), and fields (a function's code, defaults and closure cells, a class's MRO and metaclass). Each
// check tells whether all of it is still so:
// - a dict's entries are compared again only when its stamp has moved, and the verdict is kept with the
//   new stamp;
// - the fields that Python code can change (`__code__`, `__defaults__`, `__kwdefaults__`, `__bases__`,
//   `__class__`) are set only after the interpreter's audit event "object.__setattr__" for their object:
//   once such an event names an object of the snapshot, every later check compares all fields (which
//   stays right even when the event's other hooks call the module before the change); a closure cell,
//   which no event announces, is compared at every check.
// Everything recognised is held.
class Snapshot {
 public:
  Snapshot() noexcept;
  ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  // Forgets everything: holds() is false until something is added and sealed.
  void clear() noexcept;
  // `dict` (an exact dict; `owner` keeps it alive) holds under `name` what it holds now, or nothing.
  bool add_entry(PyObject* owner, PyObject* dict, PyObject* name) noexcept;
  // The fields of the Python function `f` that decide what a call of it does.
  bool add_function(PyObject* f) noexcept;
  // `type`'s MRO is the tuple it is now.
  bool add_mro(PyTypeObject* type) noexcept;
  // `obj`'s class is the one it is now.
  bool add_class_of(PyObject* obj) noexcept;
  // What running `run()` runs (a callable that calls `fn`, a Python function): each Python function it
  // enters is looked for among the functions and classes of `fn`'s module, and added with what finds it
  // there (the module's entry; the entries of the class dicts up to the one that holds it, and the MRO and
  // metaclass where they matter), its fields, and the entries its code reads from its module, from the
  // modules named there and from the builtins. `names` (a set) gets every name that code reads, so that a
  // caller can tell which attributes of an object handed to `fn` it may look up. False, with no error set,
  // when something that ran cannot be found so: nothing would vouch for it.
  bool add_what_runs(PyObject* run, PyObject* fn, PyObject* names) noexcept;
  // Makes the snapshot answer: what was added is what holds() compares.
  void seal() noexcept { sealed_ = true; }

  bool holds() noexcept {
    if (!sealed_) return false;
#ifdef AC_CACHE_WATCHERS
    // No event since every tag was last found to hold: none has moved.
    if (!cache::g_epoch || checked_epoch_ != cache::g_epoch) {
      const uint64_t epoch = cache::g_epoch;
#endif
      for (Check& c : checks_) {
        if (cache::tag_of(c.dict) != c.tag && !recheck(c)) return false;
      }
#ifdef AC_CACHE_WATCHERS
      if (epoch == cache::g_epoch) checked_epoch_ = epoch;
    }
#endif
    // Last: comparing fields runs no code.
    const size_t n = touched_ ? fields_.size() : unannounced_;
    for (size_t i = 0; i < n; ++i) {
      if (*fields_[i].where != fields_[i].expected) return false;
    }
    return true;
  }

  // Whether the entries of `dict` were last found the same under the tag it has now (what holds() would
  // find for them without comparing anything).
  bool unchanged(PyObject* dict) const noexcept {
    for (const Check& c : checks_) {
      if (c.dict == dict) return c.tag && c.tag == cache::tag_of(dict);
    }
    return false;
  }

  // Called for each audit event "object.__setattr__": whether `obj` is one of the snapshot's owners.
  void announce(PyObject* obj) noexcept;

 private:
  struct Entry {
    Ref name, value;  // value null: no entry
  };
  struct Group {  // the entries of one dict
    Ref owner, dict;
    std::vector<Entry> entries;
  };
  struct Check {     // one per group, in the same order: what holds() reads
    PyObject* dict;  // the group's, held there
    uint64_t tag;    // the tag the entries were last found the same under, or 0
  };
  struct Field {
    PyObject** where;
    PyObject* expected;  // held in `held_`
    PyObject* owner;     // held in `held_`
  };
  bool add_field(PyObject* owner, PyObject** where, bool announced) noexcept;
  bool recheck(Check& c) noexcept;

  std::vector<Group> groups_;
  std::vector<Check> checks_;
  std::vector<Field> fields_;  // the unannounced ones first
  size_t unannounced_ = 0;
  std::vector<Ref> held_;
  bool sealed_ = false, touched_ = false;
#ifdef AC_CACHE_WATCHERS
  uint64_t checked_epoch_ = 0;  // every check's tag was found to hold at this epoch
#endif
};

}  // namespace ac
