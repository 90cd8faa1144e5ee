// Traceback entries for errors leaving the module's functions.
#pragma once
#include <Python.h>

namespace ac {

// Adds one entry "<qualified_name>" at `line` of the module's source file to the pending exception.
// `qualified_name` must be a string with static storage: entries are cached by its address.
void add_traceback(const char* qualified_name, int line) noexcept;

// add_traceback, then returns null: `return tb_error(name, line);` on an error exit.
inline PyObject* tb_error(const char* qualified_name, int line) noexcept {
  add_traceback(qualified_name, line);
  return nullptr;
}

}  // namespace ac
