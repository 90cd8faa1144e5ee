// The class table: each rule family adds its members from its own folder; the module binds them in
// the class's order.
#pragma once
#include <Python.h>

#include <vector>

#include "runtime/function.h"

namespace ac {

enum class Kind : unsigned char { Plain, Static, Class, ModuleFunction };

struct Member {
  int order;              // place in the class dict (or, for module functions, in the module)
  const char* name;       // the key it is bound under
  Kind kind;
  const FuncSpec* spec;
  int line;               // line reported when creating it fails
  int wrap_line;          // line reported when wrapping in staticmethod/classmethod fails
  // Builds the defaults tuple, read once when the class is created: a new reference, or null with an
  // error set. Null pointer: no defaults.
  PyObject* (*defaults)() = nullptr;
  // Builds the annotations dict. Null pointer: none.
  PyObject* (*annotations)() = nullptr;
};

// Static registration: `static MemberRegistrar r{Member{...}};` in the family's file.
struct MemberRegistrar {
  explicit MemberRegistrar(const Member& m) noexcept;
};

// Work a folder needs done once the module's imports are bound (before the class is created):
// `static ExecHook h{fn};` where fn(module_dict) returns false with an error set on failure.
struct ExecHook {
  explicit ExecHook(bool (*fn)(PyObject* module_dict)) noexcept;
};
bool run_exec_hooks(PyObject* module_dict) noexcept;

// Members of the given kinds, in order.
std::vector<const Member*> class_members();
std::vector<const Member*> module_functions();

}  // namespace ac
