// The module namespace: host facilities and standard modules are module globals, looked up at each use
// so that host code may rebind them.
#pragma once
#include <Python.h>

#include <cstdint>

#include "runtime/ref.h"

namespace ac {

// The module's dict (borrowed), or null before the module executes.
PyObject* module_globals() noexcept;
// Records `dict` as the namespace that globals are looked up in, and `builtins` (a dict) as the
// builtins that a name missing from it is looked up in (nulls to forget them).
void set_module_globals(PyObject* dict, PyObject* builtins) noexcept;

// The module global `name`, falling back to the module's builtins: a new reference, or null with
// NameError. `*in_module`, when given, tells whether the module dict had it.
PyObject* get_global(PyObject* name, bool* in_module = nullptr) noexcept;

// Version tags that the interpreter keeps for its own caches (of global and of type attribute
// lookups), 0 where it keeps none we can use. While a tag stays the same, a lookup in the module dict
// (`globals_tag`) or in a class and its bases (`type_tag`) finds the same objects as it did under it.
// The tags exist from 3.9 on; from 3.12 on the dict's is deprecated and the type's flag is no longer
// kept the same way, so there the callers simply look up every time.
extern PyObject* g_globals;

// Every change of a dict gives it a new tag from one counter shared by all dicts, so a tag also
// names the dict: no two dicts ever hold the same one.
inline uint64_t dict_tag(PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
  (void)dict;
  return 0;
#endif
}

inline uint64_t globals_tag() noexcept {
  return g_globals ? dict_tag(g_globals) : 0;
}

// A value found in a dict, with the dict's tag at the time: while the tag stands, the dict holds the
// value and the same lookup would find it again (the interpreter's own global cache relies on this).
struct DictRead {
  uint64_t tag = 0;
  PyObject* value = nullptr;  // borrowed from the dict
};

// `get_global(name)`, answered from `read` while the module dict keeps its tag.
inline PyObject* get_global(PyObject* name, DictRead& read) noexcept {
  const uint64_t tag = globals_tag();
  if (tag && tag == read.tag) return new_ref(read.value);
  bool in_module;
  PyObject* v = get_global(name, &in_module);
  read = v && in_module && tag == globals_tag() ? DictRead{tag, v} : DictRead{};
  return v;
}

inline unsigned type_tag(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  // Cleared (flag and all) by any change of the class or of a base, as the method cache relies on.
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
  (void)type;
  return 0;
#endif
}

}  // namespace ac
