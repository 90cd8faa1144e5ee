// ArgumentChecker.check_callable (a user callback's name, parameter count and parameter names) and
// ArgumentChecker.is_algorithm_func_and_args (the optional trailing arguments of an algorithm call).
#include <Python.h>

#include "module/members.h"
#include "runtime/compare.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/globals.h"
#include "runtime/imports.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {
namespace {

// ---- check_callable -------------------------------------------------------------------------------

// @staticmethod
// def check_callable(func_obj, func_name=None, arg_count=None, param_names=None, raise_error=True,
//                    except_sig=""):
enum CallableLine {
  kLineCallableDef = 431,
  kLineImport = 432,
  kLineReason = 433,
  kLineIsFunction = 434,
  kLineNotFunction = 435,
  kLineName = 438,
  kLineWrongName = 439,
  kLineSignature = 442,
  kLineCount = 443,
  kLineWrongCount = 444,
  kLineNames = 447,
  kLineNamesLoop = 448,
  kLineNameIn = 449,
  kLineWrongNames = 450,
  kLineRaiseError = 455,
  kLineRaise = 456,
  kLineReturn = 457,
};

Name n_isfunction{"isfunction"}, n_signature{"signature"}, n_parameters{"parameters"},
    n_dunder_len{"__len__"};

// A finding: `reason` becomes the finished text `text.<key>`. Returns 0, or `line` when the text cannot
// be read.
int found(PyObject* key, int line, Ref* reason) noexcept {
  *reason = Ref(text_of(key));
  return *reason ? 0 : line;
}

// The tests in order, stopping at the first finding. On return `ok` and `reason` hold the outcome;
// returns the failing line, or 0 when nothing failed.
int run_callable_tests(PyObject* inspect, PyObject* func_obj, PyObject* func_name, PyObject* arg_count,
                       PyObject* param_names, bool* ok, Ref* reason) noexcept {
  {
    Ref isfunction(PyObject_GetAttr(inspect, n_isfunction));
    if (!isfunction) return kLineIsFunction;
    Ref r(PyObject_CallOneArg(isfunction.get(), func_obj));
    int yes = r ? PyObject_IsTrue(r.get()) : -1;
    if (yes < 0) return kLineIsFunction;
    if (!yes) {
      *ok = false;
      return found(key::IS_NOT_FUNC, kLineNotFunction, reason);
    }
  }

  if (func_name != Py_None) {
    Ref name(PyObject_GetAttr(func_obj, names::dunder_name));
    if (!name) return kLineName;
    int d = compare_truth(name.get(), func_name, Py_NE);
    if (d < 0) return kLineName;
    if (d) {
      *ok = false;
      return found(key::ERROR_FUNC_NAME, kLineWrongName, reason);
    }
  }

  Ref signature(PyObject_GetAttr(inspect, n_signature));
  if (!signature) return kLineSignature;
  Ref sig(PyObject_CallOneArg(signature.get(), func_obj));
  if (!sig) return kLineSignature;

  if (arg_count != Py_None) {
    Ref params(PyObject_GetAttr(sig.get(), n_parameters));
    if (!params) return kLineCount;
    const Py_ssize_t n = PyObject_Size(params.get());
    if (n < 0) return kLineCount;
    Ref count(PyLong_FromSsize_t(n));
    if (!count) return kLineCount;
    int d = compare_truth(count.get(), arg_count, Py_NE);
    if (d < 0) return kLineCount;
    if (d) {
      *ok = false;
      return found(key::ERROR_ARG_COUNT, kLineWrongCount, reason);
    }
  }

  *ok = true;
  if (param_names == Py_None) return 0;
  // `hasattr(param_names, "__len__")`, where any failure to get the attribute counts as absence.
  Ref len(PyObject_GetAttr(param_names, n_dunder_len));
  if (!len) {
    PyErr_Clear();
    return 0;
  }
  Ref params(PyObject_GetAttr(sig.get(), n_parameters));
  if (!params) return kLineNamesLoop;
  Ref it(PyObject_GetIter(param_names));
  if (!it) return kLineNamesLoop;
  for (;;) {
    Ref name(PyIter_Next(it.get()));
    if (!name) return PyErr_Occurred() ? kLineNamesLoop : 0;
    int in = PySequence_Contains(params.get(), name.get());
    if (in < 0) return kLineNameIn;
    if (!in) return found(key::ERROR_ARG_NAME, kLineWrongNames, reason);  // `ok` stays true
  }
}

PyObject* check_callable_body(Func*, PyObject* const* p, PyObject*) noexcept {
  const auto [func_obj, func_name, arg_count, param_names, raise_error, except_sig] = params<6>(p);

  Ref inspect(import_module("inspect", nullptr, -1));
  if (!inspect) return error_at(member::check_callable, kLineImport);
  Ref reason(PyUnicode_FromStringAndSize("", 0));
  if (!reason) return error_at(member::check_callable, kLineReason);

  bool ok = false;
  if (int line = run_callable_tests(inspect.get(), func_obj, func_name, arg_count, param_names, &ok, &reason))
    return error_at(member::check_callable, line);

  int raise = PyObject_IsTrue(raise_error);
  if (raise < 0) return error_at(member::check_callable, kLineRaiseError);
  if (raise && !ok)
    return fail(member::check_callable, kLineRaise, key::EXPECTSIGN, {reason.get(), except_sig});
  PyObject* r = PyTuple_Pack(2, ok ? Py_True : Py_False, reason.get());
  if (!r) return error_at(member::check_callable, kLineReturn);
  return r;
}

// ---- is_algorithm_func_and_args --------------------------------------------------------------------

// @classmethod
// def is_algorithm_func_and_args(cls, func_name, *args):
enum AlgorithmLine {
  kLineAlgorithmDef = 378,
  kLineTooMany = 380,
  kLineOneArg = 384,
  kLineNotFunctionType = 385,
};

Name n_FunctionType{"FunctionType"};

// The extra arguments may be at most two; a single one must be a Python function.
PyObject* is_algorithm_func_and_args_body(Func*, PyObject* const* p, PyObject* args) noexcept {
  PyObject* func_name = p[1];
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  const FuncDef& def = member::is_algorithm_func_and_args;
  if (n > 2)
    return fail(def, kLineTooMany, key::EXPECTNARGS,
                {func_name, MsgArg::integer(2), MsgArg::repr(args), MsgArg::type_of(args)});
  if (n != 1) Py_RETURN_NONE;

  PyObject* arg = PyTuple_GET_ITEM(args, 0);
  Ref types(get_global(names::types));
  if (!types) return error_at(def, kLineOneArg);
  Ref function_type(PyObject_GetAttr(types.get(), n_FunctionType));
  if (!function_type) return error_at(def, kLineOneArg);
  int is_function = PyObject_IsInstance(arg, function_type.get());
  if (is_function < 0) return error_at(def, kLineOneArg);
  if (!is_function)
    return fail(def, kLineNotFunctionType, key::EXPECT_FUNCTYPE2, {func_name, arg, MsgArg::type_of(arg)});
  Py_RETURN_NONE;
}

}  // namespace

FuncDef member::check_callable{"ArgumentChecker.check_callable",
                               kLineCallableDef,
                               {"func_obj",
                                {"func_name", dflt::none},
                                {"arg_count", dflt::none},
                                {"param_names", dflt::none},
                                {"raise_error", dflt::yes},
                                {"except_sig", dflt::str("")}},
                               check_callable_body};
FuncDef member::is_algorithm_func_and_args{"ArgumentChecker.is_algorithm_func_and_args",
                                           kLineAlgorithmDef,
                                           {"cls", "func_name", "*args"},
                                           is_algorithm_func_and_args_body};

}  // namespace ac
