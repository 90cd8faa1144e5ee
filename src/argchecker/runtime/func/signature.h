// Introspection of the module's functions. `inspect.signature()` reads `__signature__` first, so the
// type offers one, built on each request from the definition (names, `*args`, position-only single
// parameters), the current `__defaults__` and the current `__annotations__`: what the argument parser
// accepts is what the signature shows.
#pragma once
#include <Python.h>

namespace ac {

// The `__signature__` attribute of the function type: the getter and the setter.
PyObject* get_signature(PyObject* self, void*) noexcept;
int set_signature(PyObject* self, PyObject* v, void*) noexcept;

}  // namespace ac
