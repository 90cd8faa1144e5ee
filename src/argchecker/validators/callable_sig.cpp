// ArgumentChecker.check_callable (a user callback's name, parameter count and parameter names) and
// ArgumentChecker.is_algorithm_func_and_args (the optional trailing arguments of an algorithm call).
#include <Python.h>

#include "host/globals.h"
#include "runtime/compare.h"
#include "runtime/failure.h"
#include "runtime/function.h"
#include "runtime/imports.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"

namespace ac {
namespace {

// ---- check_callable -------------------------------------------------------------------------------

const char kTbCallable[] = "tframe.utils.argchecker.ArgumentChecker.check_callable";

constexpr int kLineCallableDef = 431;
constexpr int kLineCallableWrap = 430;
constexpr int kLineImport = 432;
constexpr int kLineIsFunction = 434;
constexpr int kLineNotFunction = 435;
constexpr int kLineName = 438;
constexpr int kLineWrongName = 439;
constexpr int kLineSignature = 442;
constexpr int kLineCount = 443;
constexpr int kLineWrongCount = 444;
constexpr int kLineNames = 447;
constexpr int kLineNamesLoop = 448;
constexpr int kLineNameIn = 449;
constexpr int kLineWrongNames = 450;
constexpr int kLineRaiseError = 455;
constexpr int kLineRaise = 456;
constexpr int kLineReturn = 457;

Name n_isfunction{"isfunction"}, n_signature{"signature"}, n_parameters{"parameters"}, n_dunder_len{"__len__"};
Name k_not_func{"ERROR_FUNC_IS_NOT_FUNC"}, k_func_name{"ERROR_FUNC_ERROR_FUNC_NAME"},
    k_arg_count{"ERROR_FUNC_ERROR_ARG_COUNT"}, k_arg_name{"ERROR_FUNC_ERROR_ARG_NAME"},
    k_expect_sign{"ARGCHECKER_INVALID_PARAM_EXPECTSIGN_ERROR"};

// `text.<key>`, a finished text, with `text` looked up now.
PyObject* finished_text(PyObject* key) noexcept {
  Ref txt(get_global(names::g_text));
  if (!txt) return nullptr;
  return PyObject_GetAttr(txt.get(), key);
}

// `a != b` by its truth value: 1, 0 or -1.
int differs(PyObject* a, PyObject* b) noexcept { return compare_truth(a, b, Py_NE); }

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
      *reason = Ref(finished_text(k_not_func));
      if (!*reason) return kLineNotFunction;
      *ok = false;
      return 0;
    }
  }

  if (func_name != Py_None) {
    Ref name(PyObject_GetAttr(func_obj, names::dunder_name));
    if (!name) return kLineName;
    int d = differs(name.get(), func_name);
    if (d < 0) return kLineName;
    if (d) {
      *reason = Ref(finished_text(k_func_name));
      if (!*reason) return kLineWrongName;
      *ok = false;
      return 0;
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
    int d = differs(count.get(), arg_count);
    if (d < 0) return kLineCount;
    if (d) {
      *reason = Ref(finished_text(k_arg_count));
      if (!*reason) return kLineWrongCount;
      *ok = false;
      return 0;
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
    if (!in) {
      *reason = Ref(finished_text(k_arg_name));
      if (!*reason) return kLineWrongNames;
      return 0;
    }
  }
}

PyObject* check_callable(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* func_obj = p[0];
  PyObject* func_name = p[1];
  PyObject* arg_count = p[2];
  PyObject* param_names = p[3];
  PyObject* raise_error = p[4];
  PyObject* except_sig = p[5];

  Ref inspect(import_module("inspect", nullptr, -1));
  if (!inspect) return tb_error(kTbCallable, kLineImport);
  Ref reason(PyUnicode_FromStringAndSize("", 0));
  if (!reason) return tb_error(kTbCallable, kLineImport + 1);

  bool ok = false;
  if (int line = run_callable_tests(inspect.get(), func_obj, func_name, arg_count, param_names, &ok, &reason))
    return tb_error(kTbCallable, line);

  int raise = PyObject_IsTrue(raise_error);
  if (raise < 0) return tb_error(kTbCallable, kLineRaiseError);
  if (raise && !ok) {
    raise_failure(k_expect_sign, [&](FmtArgs& a) {
      return a.add_borrowed(reason.get()) && a.add_borrowed(except_sig);
    });
    return tb_error(kTbCallable, kLineRaise);
  }
  PyObject* r = PyTuple_Pack(2, ok ? Py_True : Py_False, reason.get());
  if (!r) return tb_error(kTbCallable, kLineReturn);
  return r;
}

FuncSpec check_callable_spec{"check_callable", "ArgumentChecker.check_callable", kTbCallable,
                             kLineCallableDef, Style::Params,
                             {"func_obj", "func_name", "arg_count", "param_names", "raise_error", "except_sig"},
                             false, check_callable};

PyObject* check_callable_defaults() noexcept {
  return Py_BuildValue("(OOOOs)", Py_None, Py_None, Py_None, Py_True, "");
}

MemberRegistrar reg_check_callable{Member{35, "check_callable", Kind::Static, &check_callable_spec,
                                          kLineCallableDef, kLineCallableWrap, check_callable_defaults}};

// ---- is_algorithm_func_and_args --------------------------------------------------------------------

const char kTbAlgorithm[] = "tframe.utils.argchecker.ArgumentChecker.is_algorithm_func_and_args";

constexpr int kLineAlgorithmDef = 378;
constexpr int kLineAlgorithmWrap = 377;
constexpr int kLineTooMany = 380;
constexpr int kLineOneArg = 384;
constexpr int kLineNotFunctionType = 385;

Name n_FunctionType{"FunctionType"};
Name k_expect_nargs{"ARGCHECKER_INVALID_PARAM_EXPECTNARGS_ERROR"},
    k_functype2{"ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR2"};

// The extra arguments may be at most two; a single one must be a Python function.
PyObject* is_algorithm_func_and_args(Func*, PyObject* const* p, PyObject* args) noexcept {
  PyObject* func_name = p[1];
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 2) {
    raise_failure(k_expect_nargs, [&](FmtArgs& a) {
      return a.add_borrowed(func_name) && a.add(PyLong_FromLong(2)) && a.add_repr(args) && a.add_type_of(args);
    });
    return tb_error(kTbAlgorithm, kLineTooMany);
  }
  if (n != 1) Py_RETURN_NONE;

  PyObject* arg = PyTuple_GET_ITEM(args, 0);
  Ref types(get_global(names::g_types));
  if (!types) return tb_error(kTbAlgorithm, kLineOneArg);
  Ref function_type(PyObject_GetAttr(types.get(), n_FunctionType));
  if (!function_type) return tb_error(kTbAlgorithm, kLineOneArg);
  int is_function = PyObject_IsInstance(arg, function_type.get());
  if (is_function < 0) return tb_error(kTbAlgorithm, kLineOneArg);
  if (!is_function) {
    raise_failure(k_functype2, [&](FmtArgs& a) {
      return a.add_borrowed(func_name) && a.add_borrowed(arg) && a.add_type_of(arg);
    });
    return tb_error(kTbAlgorithm, kLineNotFunctionType);
  }
  Py_RETURN_NONE;
}

FuncSpec is_algorithm_func_and_args_spec{"is_algorithm_func_and_args", "ArgumentChecker.is_algorithm_func_and_args",
                                         kTbAlgorithm, kLineAlgorithmDef, Style::Params, {"cls", "func_name"},
                                         true, is_algorithm_func_and_args};

MemberRegistrar reg_is_algorithm_func_and_args{Member{33, "is_algorithm_func_and_args", Kind::Class,
                                                      &is_algorithm_func_and_args_spec, kLineAlgorithmDef,
                                                      kLineAlgorithmWrap}};

}  // namespace
}  // namespace ac
