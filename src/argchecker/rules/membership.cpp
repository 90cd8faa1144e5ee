// Membership rules: is_in / _is_in and sub_set / _sub_set. The rules hold the caller's container
// itself, so later changes to it are seen at the next check.
#include "host/globals.h"
#include "rules/checker.h"
#include "runtime/failure.h"
#include "runtime/function.h"
#include "runtime/names.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"

namespace ac {
namespace {

Name n_is_in_method{"_is_in"};
Name n_sub_set_method{"_sub_set"};
Name n_issubset{"issubset"};
Name k_expect_valid{"ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR"};
Name k_subset{"ARGCHECKER_INVALID_PARAM_SUBSET_ERROR"};

// ---- _is_in ---------------------------------------------------------------------------------------

const char kIsInWorker[] = "tframe.utils.argchecker.ArgumentChecker._is_in";
constexpr int kIsInWorkerLine = 98;
constexpr int kIsInNoneLine = 99;    // ignore_value and value is None
constexpr int kIsInTestLine = 101;   // value not in valid_values
constexpr int kIsInRaiseLine = 102;

PyObject* is_in_worker(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  PyObject* func_name = p[1];
  PyObject* value = p[2];
  PyObject* valid_values = p[3];

  const int skip_none = PyObject_IsTrue(p[4]);
  if (skip_none < 0) return tb_error(kIsInWorker, kIsInNoneLine);
  if (skip_none && value == Py_None) Py_RETURN_NONE;

  const int found = PySequence_Contains(valid_values, value);
  if (found < 0) return tb_error(kIsInWorker, kIsInTestLine);
  if (found) Py_RETURN_NONE;

  raise_failure(k_expect_valid, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(self, names::arg_name) && a.add_repr(valid_values) &&
           a.add_borrowed(value) && a.add_type_of(value);
  });
  return tb_error(kIsInWorker, kIsInRaiseLine);
}

FuncSpec is_in_worker_spec{"_is_in",
                           "ArgumentChecker._is_in",
                           kIsInWorker,
                           kIsInWorkerLine,
                           Style::Params,
                           {"self", "func_name", "value", "valid_values", "ignore_value"},
                           false,
                           is_in_worker};

// ---- is_in ----------------------------------------------------------------------------------------

const char kIsIn[] = "tframe.utils.argchecker.ArgumentChecker.is_in";
const char kCheckIsIn[] = "tframe.utils.argchecker.ArgumentChecker.is_in.check_is_in";
constexpr int kIsInLine = 107;
constexpr int kCheckIsInLine = 108;
constexpr int kCheckIsInCallLine = 109;   // self._is_in(func_name, value, valid_values, ignore_value)
constexpr int kIsInAppendLine = 111;

// cap[0]: the checker, cap[1]: valid_values, cap[2]: ignore_value. The worker is looked up on the
// checker at every check, so an override takes effect.
PyObject* check_is_in(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* argv[] = {f->cap[0], p[0], p[1], f->cap[1], f->cap[2]};
  PyObject* r =
      PyObject_VectorcallMethod(n_is_in_method, argv, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!r) return tb_error(kCheckIsIn, kCheckIsInCallLine);
  return r;
}

FuncSpec check_is_in_spec{"check_is_in", "ArgumentChecker.is_in.<locals>.check_is_in", kCheckIsIn,
                          kCheckIsInLine, Style::Params, {"func_name", "value"}, false, check_is_in};

PyObject* is_in_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  return finish_factory(self, Ref(make_function(check_is_in_spec, {self, p[1], p[2]})), kIsIn,
                        kCheckIsInLine, kIsInAppendLine);
}

FuncSpec is_in_spec{"is_in", "ArgumentChecker.is_in", kIsIn, kIsInLine, Style::Params,
                    {"self", "valid_values", "ignore_value"}, false, is_in_body};

// ---- _sub_set -------------------------------------------------------------------------------------

const char kSubSetWorker[] = "tframe.utils.argchecker.ArgumentChecker._sub_set";
constexpr int kSubSetWorkerLine = 114;
constexpr int kSubSetTestLine = 115;   // set(value).issubset(valid_values)
constexpr int kSubSetRaiseLine = 116;

PyObject* sub_set_worker(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  PyObject* func_name = p[1];
  PyObject* value = p[2];
  PyObject* valid_values = p[3];

  Ref elements(PySet_New(value));
  if (!elements) return tb_error(kSubSetWorker, kSubSetTestLine);
  PyObject* argv[] = {elements.get(), valid_values};
  Ref inside(PyObject_VectorcallMethod(n_issubset, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!inside) return tb_error(kSubSetWorker, kSubSetTestLine);
  const int ok = PyObject_IsTrue(inside.get());
  if (ok < 0) return tb_error(kSubSetWorker, kSubSetTestLine);
  if (ok) Py_RETURN_NONE;

  // Unlike _is_in, the value itself comes third and the container's text form last.
  raise_failure(k_subset, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(self, names::arg_name) && a.add_borrowed(value) &&
           a.add_repr(valid_values);
  });
  return tb_error(kSubSetWorker, kSubSetRaiseLine);
}

FuncSpec sub_set_worker_spec{"_sub_set",
                             "ArgumentChecker._sub_set",
                             kSubSetWorker,
                             kSubSetWorkerLine,
                             Style::Params,
                             {"self", "func_name", "value", "valid_values"},
                             false,
                             sub_set_worker};

// ---- sub_set --------------------------------------------------------------------------------------

const char kSubSet[] = "tframe.utils.argchecker.ArgumentChecker.sub_set";
const char kCheckSubSet[] = "tframe.utils.argchecker.ArgumentChecker.sub_set.check_sub_set";
constexpr int kSubSetLine = 120;
constexpr int kCheckSubSetLine = 121;
constexpr int kCheckSubSetCallLine = 122;   // self._sub_set(func_name, value, valid_values)
constexpr int kSubSetAppendLine = 124;

// cap[0]: the checker, cap[1]: valid_values.
PyObject* check_sub_set(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* argv[] = {f->cap[0], p[0], p[1], f->cap[1]};
  PyObject* r =
      PyObject_VectorcallMethod(n_sub_set_method, argv, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!r) return tb_error(kCheckSubSet, kCheckSubSetCallLine);
  return r;
}

FuncSpec check_sub_set_spec{"check_sub_set", "ArgumentChecker.sub_set.<locals>.check_sub_set",
                            kCheckSubSet, kCheckSubSetLine, Style::Params, {"func_name", "value"},
                            false, check_sub_set};

PyObject* sub_set_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  return finish_factory(self, Ref(make_function(check_sub_set_spec, {self, p[1]})), kSubSet,
                        kCheckSubSetLine, kSubSetAppendLine);
}

FuncSpec sub_set_spec{"sub_set", "ArgumentChecker.sub_set", kSubSet, kSubSetLine, Style::Params,
                      {"self", "valid_values"}, false, sub_set_body};

// ---- class members --------------------------------------------------------------------------------

PyObject* ignore_value_default() noexcept { return Py_BuildValue("(O)", Py_True); }

MemberRegistrar reg_is_in_worker{Member{8, "_is_in", Kind::Plain, &is_in_worker_spec, kIsInWorkerLine,
                                        0, ignore_value_default}};
MemberRegistrar reg_is_in{Member{9, "is_in", Kind::Plain, &is_in_spec, kIsInLine, 0, ignore_value_default}};
MemberRegistrar reg_sub_set_worker{
    Member{10, "_sub_set", Kind::Plain, &sub_set_worker_spec, kSubSetWorkerLine, 0}};
MemberRegistrar reg_sub_set{Member{11, "sub_set", Kind::Plain, &sub_set_spec, kSubSetLine, 0}};

}  // namespace
}  // namespace ac
