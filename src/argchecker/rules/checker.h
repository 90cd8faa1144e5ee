// What every factory method shares.
#pragma once
#include <Python.h>

#include "runtime/ref.h"

namespace ac {

// The common tail of a factory: fetch `self.rules` now, append `rule` to it (a list append for an exact
// list, otherwise its `append` method), and return `self` (new reference). On error, adds the traceback
// entry `tb_name` at `line` and returns null.
PyObject* append_rule(PyObject* self, PyObject* rule, const char* tb_name, int line) noexcept;

// Appends `rule` (a new reference, may be null after a failed creation) and returns self.
PyObject* finish_factory(PyObject* self, Ref rule, const char* tb_name, int create_line,
                         int append_line) noexcept;

}  // namespace ac
