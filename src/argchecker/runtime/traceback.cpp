#include "runtime/traceback.h"

#include <unordered_map>

#include "runtime/compat.h"
#include "runtime/globals.h"
#include "runtime/ref.h"

namespace ac {

namespace {

struct Key {
  const char* name;
  int line;
  bool operator==(const Key& o) const noexcept { return name == o.name && line == o.line; }
};
struct KeyHash {
  size_t operator()(const Key& k) const noexcept {
    return std::hash<const void*>()(k.name) ^ (static_cast<size_t>(k.line) * 0x9E3779B97F4A7C15ull);
  }
};

// One empty code object per (name, line), kept for the life of the process.
std::unordered_map<Key, PyCodeObject*, KeyHash>& code_cache() {
  static auto* cache = new std::unordered_map<Key, PyCodeObject*, KeyHash>();
  return *cache;
}

const char kSourceFile[] = "velmora\\tframe\\utils\\argchecker";

}  // namespace

void add_traceback(const char* qualified_name, int line) noexcept {
  if (!PyErr_Occurred()) return;
  // Building the entry calls into the interpreter, which must not run with an exception pending.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);

  PyCodeObject* code = nullptr;
  auto& cache = code_cache();
  auto it = cache.find(Key{qualified_name, line});
  if (it != cache.end()) {
    code = it->second;
  } else {
    code = PyCode_NewEmpty(kSourceFile, qualified_name, line);
    if (code) cache.emplace(Key{qualified_name, line}, code);
  }
  PyObject* globals = module_globals();
  Ref frame;
  if (code && globals) frame = Ref(reinterpret_cast<PyObject*>(compat::new_frame(code, globals, line)));
  if (!frame) {
    // Out of memory while describing an error: keep the original error, without the entry.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_Restore(type, value, tb);
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace ac
