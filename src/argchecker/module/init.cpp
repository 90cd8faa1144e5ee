// Loading: the create and execution steps of the module, and its imports.
#include <Python.h>

#include <cstdio>
#include <cstring>

#include "module/class_body.h"
#include "runtime/compat.h"
#include "runtime/func/function.h"
#include "runtime/globals.h"
#include "runtime/imports.h"
#include "runtime/names.h"
#include "runtime/ready.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace ac {
namespace {

PyObject* g_module = nullptr;  // the process-wide module object once execution has begun
// The state block of g_module when the create step hands g_module out again. The import machinery
// resets the state pointer of whatever the create step returns, and the execution step allocates a new
// block, so the old one is released there.
void* g_stale_state = nullptr;
int64_t g_interpreter_id = -1;    // the interpreter that first loaded the module
bool g_added_short_name = false;  // whether the running execution step added that entry

struct ModuleImport {
  const char* bind_as;
  const char* module;
  const char* from_name;  // null: bind the module itself
  int level;              // -1: relative first, then absolute
  int line;
};

// The module's imports, in binding order.
const ModuleImport kImports[] = {
    {"os", "os", nullptr, -1, 3},
    {"datetime", "datetime", nullptr, -1, 4},
    {"inspect", "inspect", nullptr, -1, 5},
    {"traceback", "traceback", nullptr, -1, 6},
    {"types", "types", nullptr, -1, 7},
    {"np", "numpy", nullptr, -1, 8},
    {"Timestamp", "pandas", "Timestamp", -1, 9},
    {"wraps", "functools", "wraps", -1, 10},
    {"re", "re", nullptr, -1, 11},
    {"get_setting", "velmora.setting", "get_setting", -1, 12},
    {"InvalidParamError", "exceptions", "InvalidParamError", 1, 13},
    {"to_datetime", "datetimefunc", "to_datetime", 1, 14},
    {"write_userlog", "logger", "write_userlog", 1, 15},
    {"unwrapper", "utilfunc", "unwrapper", 1, 16},
    {"text", "language", "text", 2, 17},
};

bool run_imports(PyObject* dict) {
  for (const ModuleImport& imp : kImports) {
    Ref value;
    if (imp.from_name) {
      value = Ref(import_name(imp.module, imp.from_name, imp.level));
    } else {
      value = Ref(import_module(imp.module, nullptr, imp.level));
    }
    if (!value) {
      if (imp.level != -1 || std::strncmp(imp.module, "velmora.", 8) == 0) explain_bare_package();
      return init_failed(imp.line);
    }
    if (PyDict_SetItemString(dict, imp.bind_as, value.get()) < 0) return init_failed(imp.line);
  }
  return true;
}

// module.<to> = module_spec.<from>, skipping a missing attribute (and, unless allowed, None).
int copy_spec_attr(PyObject* module_spec, PyObject* module, const char* from, const char* to,
                   bool allow_none) {
  Ref v(PyObject_GetAttrString(module_spec, from));
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!allow_none && v.get() == Py_None) return 0;
  return PyObject_SetAttrString(module, to, v.get());
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) noexcept {
  int64_t id = compat::interpreter_id();
  if (g_interpreter_id == -1) {
    g_interpreter_id = id;
  } else if (id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter "
                    "per process.");
    return nullptr;
  }
  if (g_module) {
    if (void* state = PyModule_GetState(g_module)) g_stale_state = state;
    return new_ref(g_module);
  }

  Ref name(PyObject_GetAttrString(module_spec, "name"));
  if (!name) return nullptr;
  Ref module(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (copy_spec_attr(module_spec, module.get(), "loader", "__loader__", true) < 0 ||
      copy_spec_attr(module_spec, module.get(), "origin", "__file__", true) < 0 ||
      copy_spec_attr(module_spec, module.get(), "parent", "__package__", true) < 0 ||
      copy_spec_attr(module_spec, module.get(), "submodule_search_locations", "__path__", false) < 0)
    return nullptr;
  return module.release();
}

// Compares the build's "major.minor" with as many leading characters of the running interpreter's
// version string: three for a 3.9 build ("3.9" against "3.9.18"), four for a 3.12 build ("3.12" against
// "3.12.1"). The dot is skipped, as it always matches.
bool warn_on_version_mismatch() {
  char compiled[16];
  std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
  const size_t n = std::strlen(compiled);
  char running[16] = {0};
  std::strncpy(running, Py_GetVersion(), n);
  bool differ = false;
  for (size_t i = 0; i < n; ++i) {
    if (i != 1 && compiled[i] != running[i]) differ = true;
  }
  if (differ) {
    char message[200];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s", compiled,
                  "tframe.utils.argchecker", running);
    if (PyErr_WarnEx(nullptr, message, 1) < 0) return false;
  }
  return true;
}

bool exec_body(PyObject* module, PyObject* dict) {
  if (!warn_on_version_mismatch()) return false;

  g_module = new_ref(module);
  PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
  if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return false;
  set_module_globals(dict, PyModule_GetDict(builtins));

  PyObject* sys_modules = PyImport_GetModuleDict();  // borrowed
  PyObject* have = PyDict_GetItemWithError(sys_modules, names::module_name);
  if (!have) {
    if (PyErr_Occurred() || PyDict_SetItem(sys_modules, names::module_name, module) < 0) return false;
    g_added_short_name = true;
  }

  if (!run_imports(dict)) return false;
  if (!make_ready(Stage::kHooks, dict))
    return init_failed(kImports[sizeof(kImports) / sizeof(kImports[0]) - 1].line);
  if (!build_class(dict)) return false;
  if (!bind_module_functions(dict)) return false;

  Ref test(PyDict_New());
  if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) return init_failed(1);
  return true;
}

int module_exec(PyObject* module) noexcept {
  if (g_module) {
    if (g_module == module) {
      if (g_stale_state && g_stale_state != PyModule_GetState(module)) PyMem_Free(g_stale_state);
      g_stale_state = nullptr;
      return 0;
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'argchecker' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (!make_ready(Stage::kNames) || !make_ready(Stage::kDefinitions) || !func_type_ready()) return -1;
  g_added_short_name = false;
  if (exec_body(module, dict)) return 0;

  // A failed execution forgets the module, so that a later import starts from the beginning, and
  // takes back the short-name entry it added, so that no dead module stays importable under it.
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitName);
  if (g_added_short_name) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* sys_modules = PyImport_GetModuleDict();  // borrowed
    PyObject* have = PyDict_GetItemWithError(sys_modules, names::module_name);
    if (have == module) PyDict_DelItem(sys_modules, names::module_name);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    g_added_short_name = false;
  }
  Py_CLEAR(g_module);
  set_module_globals(nullptr, nullptr);
  return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "argchecker", nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace ac

PyMODINIT_FUNC PyInit_argchecker(void) {
  return PyModuleDef_Init(&ac::g_def);
}
