// The stamps: dict version tags, and from 3.12 the one counter of the dict watcher's events.
#include "runtime/cache/cache.h"

namespace ac::cache {

#ifdef AC_CACHE_WATCHERS

uint64_t g_epoch = 0;
static int g_watcher = -1;

// Runs before the change it reports (a deallocation included), and runs no code of its own.
static int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++g_epoch;
  return 0;
}

// One watcher for the life of the process (the module loads into one interpreter), added at the first
// use. When none can be had, the epoch stays 0 and every lookup is made in full.
bool watching() noexcept {
  static bool tried = false;
  if (!tried) {
    tried = true;
    g_watcher = PyDict_AddWatcher(on_dict_event);
    if (g_watcher < 0)
      PyErr_Clear();
    else
      g_epoch = 1;
  }
  return g_epoch != 0;
}

bool watch(PyObject* dict) noexcept {
  return watching() && (PyDict_Watch(g_watcher, dict) == 0 || (PyErr_Clear(), false));
}

#endif

ClassStamp ClassStamp::of(PyTypeObject* type) noexcept {
  ClassStamp s;
#ifdef AC_CACHE_WATCHERS
  if (!watching()) return s;
#endif
  PyObject* mro = type->tp_mro;
  if (!mro || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) > kMaxMro) return s;
  const int n = static_cast<int>(PyTuple_GET_SIZE(mro));
  for (int i = 0; i < n; ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;
    PyObject* dict = base->tp_dict;
    if (!dict || !PyDict_CheckExact(dict)) return s;
#ifdef AC_CACHE_WATCHERS
    if (!watch(dict)) return s;
#endif
    s.heap_[s.n_] = static_cast<uint8_t>(i);
    s.tags_[s.n_++] = tag_of(dict);
  }
#ifdef AC_CACHE_WATCHERS
  s.epoch_ = g_epoch;
  s.version_ = type->tp_version_tag;
#endif
  s.mro_ = mro;
  s.type_ = type;
  return s;
}

bool ClassStamp::settle(PyTypeObject* type) noexcept {
  if (!type_) return false;
#ifdef AC_CACHE_WATCHERS
  // The lookup may have given the class its version tag; a later change clears it.
  if (type->tp_version_tag == 0 || (version_ != 0 && version_ != type->tp_version_tag)) return false;
  version_ = type->tp_version_tag;
#endif
  return holds(type);
}

bool ClassStamp::operator==(const ClassStamp& o) const noexcept {
  if (type_ != o.type_ || mro_ != o.mro_ || n_ != o.n_) return false;
#ifdef AC_CACHE_WATCHERS
  if (epoch_ != o.epoch_ || version_ != o.version_) return false;
#endif
  for (int k = 0; k < n_; ++k) {
    if (heap_[k] != o.heap_[k] || tags_[k] != o.tags_[k]) return false;
  }
  return true;
}

}  // namespace ac::cache
