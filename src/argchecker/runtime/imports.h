// Imports made the way the module makes them: relative to its own package first, then absolute.
#pragma once
#include <Python.h>

namespace ac {

// `import name` (fromlist null) or `from name import ...` (fromlist a list of names).
// level -1: tried as a level-1 import first; only an ImportError of that attempt is cleared before the
// absolute import. level >= 1: that relative import only. New reference, or null with an error set.
PyObject* import_module(const char* name, PyObject* fromlist, int level) noexcept;

// `from module import name`: a missing attribute raises ImportError "cannot import name %S".
PyObject* import_from(PyObject* module, const char* name) noexcept;

// `from <module> import name` in one step (import_module with a one-name fromlist, then import_from).
PyObject* import_name(const char* module, const char* name, int level) noexcept;

// With an ImportError set by one of the host's imports at load: when the module's package is a bare
// namespace package holding nothing but this extension's files (a host installed editable, which the
// import system does not see behind it, or no host here), replaces it with an ImportError that says so
// and names the document section with the fix, chained from the original. Any other error stays.
void explain_bare_package() noexcept;

}  // namespace ac
