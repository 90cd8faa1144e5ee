// Binding an API call's arguments to the parameter names of the function it reaches.
#pragma once
#include <Python.h>

#include "runtime/function.h"

namespace ac {

// `inspect.getcallargs(unwrapper(func), *args, **kwargs)`: the mapping of every parameter name of the
// unwrapped function to its value. New reference, or null with an error set.
PyObject* bind_call_arguments(Func* wrapper, PyObject* func, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;

}  // namespace ac
