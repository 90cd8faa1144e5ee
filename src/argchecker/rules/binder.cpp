#include "rules/binder.h"

#include <vector>

#include "host/globals.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {
namespace {

Name n_getcallargs{"getcallargs"};

}  // namespace

PyObject* bind_call_arguments(Func*, PyObject* func, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  Ref inspect(get_global(names::g_inspect));
  if (!inspect) return nullptr;
  Ref getcallargs(PyObject_GetAttr(inspect.get(), n_getcallargs));
  if (!getcallargs) return nullptr;
  Ref unwrapper(get_global(names::g_unwrapper));
  if (!unwrapper) return nullptr;
  Ref target(PyObject_Vectorcall(unwrapper.get(), &func, 1, nullptr));
  if (!target) return nullptr;

  // getcallargs(target, *args, **kwargs)
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  const Py_ssize_t total = 1 + nargs + nkw;
  PyObject* small[16];
  std::vector<PyObject*> large;
  PyObject** argv = small;
  if (total > 16) {
    large.resize(static_cast<size_t>(total));
    argv = large.data();
  }
  argv[0] = target.get();
  for (Py_ssize_t i = 0; i < nargs + nkw; ++i) argv[1 + i] = args[i];
  return PyObject_Vectorcall(getcallargs.get(), argv, static_cast<size_t>(1 + nargs), kwnames);
}

}  // namespace ac
