#include "runtime/imports.h"

#include <cstring>

#include "runtime/globals.h"
#include "runtime/ref.h"

namespace ac {

PyObject* import_module(const char* name, PyObject* fromlist, int level) noexcept {
  Ref name_obj(PyUnicode_FromString(name));
  if (!name_obj) return nullptr;
  Ref empty_locals(PyDict_New());
  if (!empty_locals) return nullptr;
  Ref list;
  if (!fromlist) {
    list = Ref(PyList_New(0));
    if (!list) return nullptr;
    fromlist = list.get();
  }
  PyObject* globals = module_globals();
  if (level == -1) {
    PyObject* m = PyImport_ImportModuleLevelObject(name_obj.get(), globals, empty_locals.get(), fromlist, 1);
    if (m) return m;
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
    PyErr_Clear();
    level = 0;
  }
  return PyImport_ImportModuleLevelObject(name_obj.get(), globals, empty_locals.get(), fromlist, level);
}

PyObject* import_from(PyObject* module, const char* name) noexcept {
  Ref name_obj(PyUnicode_FromString(name));
  if (!name_obj) return nullptr;
  PyObject* v = PyObject_GetAttr(module, name_obj.get());
  if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name_obj.get());
  }
  return v;
}

PyObject* import_name(const char* module, const char* name, int level) noexcept {
  Ref list(Py_BuildValue("[s]", name));
  if (!list) return nullptr;
  Ref m(import_module(module, list.get(), level));
  if (!m) return nullptr;
  return import_from(m.get(), name);
}

namespace {

// 1 when `package` (a name in sys.modules) is a namespace package each of whose folders holds nothing
// but this extension's files (argchecker.* and __pycache__), 0 when not, -1 on an error. `folders` gets
// its __path__ as a list.
int is_bare_extension_portion(PyObject* package, Ref& folders) noexcept {
  Ref pkg(PyImport_GetModule(package));
  if (!pkg) return PyErr_Occurred() ? -1 : 0;
  Ref file(PyObject_GetAttrString(pkg.get(), "__file__"));
  if (file && file.get() != Py_None) return 0;
  PyErr_Clear();
  Ref path(PyObject_GetAttrString(pkg.get(), "__path__"));
  if (!path) {
    PyErr_Clear();
    return 0;
  }
  folders = Ref(PySequence_List(path.get()));
  Ref os(PyImport_ImportModule("os"));
  if (!folders || !os) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(folders.get()); ++i) {
    Ref names(PyObject_CallMethod(os.get(), "listdir", "O", PyList_GET_ITEM(folders.get(), i)));
    if (!names) {
      if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
      PyErr_Clear();
      return 0;
    }
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(names.get()); ++j) {
      const char* name = PyUnicode_AsUTF8(PyList_GET_ITEM(names.get(), j));
      if (!name) return -1;
      if (std::strcmp(name, "__pycache__") != 0 && std::strncmp(name, "argchecker.", 11) != 0) return 0;
    }
  }
  return 1;
}

}  // namespace

void explain_bare_package() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return;
  PyObject* globals = module_globals();
  PyObject* package = globals ? PyDict_GetItemString(globals, "__package__") : nullptr;  // borrowed
  if (!package || !PyUnicode_Check(package)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Ref original(value);
  Ref original_type(type);
  Ref original_tb(tb);
  Ref folders;
  const int bare = is_bare_extension_portion(package, folders);
  if (bare != 1) {
    if (bare < 0) PyErr_Clear();  // the question failed: the original error stands
    PyErr_Restore(original_type.release(), original.release(), original_tb.release());
    return;
  }
  Ref message(PyUnicode_FromFormat(
      "%U is a bare namespace package that holds nothing but this extension (%R): the host's package is "
      "installed editable or is not importable from here. docs/host-contract.md, \"Editable hosts and "
      "source trees\", has the fix",
      package, folders.get()));
  Ref error(message ? PyObject_CallFunctionObjArgs(PyExc_ImportError, message.get(), nullptr) : nullptr);
  if (!error) return;
  PyException_SetContext(error.get(), Ref::borrow(original.get()).release());
  PyException_SetCause(error.get(), original.release());
  PyErr_SetObject(PyExc_ImportError, error.get());
}

}  // namespace ac
