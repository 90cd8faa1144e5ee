// Type and presence rules: is_instance_of (with its worker _is_instance_of), is_exist_path and
// is_empty_or_not.
#include "host/globals.h"
#include "rules/checker.h"
#include "runtime/failure.h"
#include "runtime/function.h"
#include "runtime/names.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"

namespace ac {
namespace {

Name n_is_instance_of_method{"_is_instance_of"};
Name n_path{"path"};
Name n_exists{"exists"};
Name k_expect{"ARGCHECKER_INVALID_PARAM_EXPECT_ERROR"};
Name k_invalid{"ARGCHECKER_INVALID_PARAM_ERROR"};
Name k_expect_empty{"ARGCHECKER_INVALID_PARAM_EXPECT_EMPTY_ERROR"};
Name k_expect_nonempty{"ARGCHECKER_INVALID_PARAM_EXPECT_NONEMPTY_ERROR"};

// ---- is_instance_of -------------------------------------------------------------------------------

const char kIsInstanceOf[] = "tframe.utils.argchecker.ArgumentChecker.is_instance_of";
const char kIsInstanceOfRule[] = "tframe.utils.argchecker.ArgumentChecker.is_instance_of._is_instance_of";
constexpr int kIsInstanceOfLine = 47;
constexpr int kIsInstanceOfRuleLine = 48;   // def of the rule
constexpr int kIsInstanceOfCallLine = 49;   // self._is_instance_of(types_, func_name, value)
constexpr int kIsInstanceOfAppendLine = 51;

// cap[0]: the checker, cap[1]: the tuple of types as passed to the factory.
// The worker is looked up on the checker at every check, so an override in a subclass or on the
// instance takes effect; its result (the checker) is the rule's result.
PyObject* is_instance_of_rule(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* argv[] = {f->cap[0], f->cap[1], p[0], p[1]};
  PyObject* r = PyObject_VectorcallMethod(n_is_instance_of_method, argv,
                                          4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!r) return tb_error(kIsInstanceOfRule, kIsInstanceOfCallLine);
  return r;
}

FuncSpec is_instance_of_rule_spec{"_is_instance_of",
                                  "ArgumentChecker.is_instance_of.<locals>._is_instance_of",
                                  kIsInstanceOfRule,
                                  kIsInstanceOfRuleLine,
                                  Style::Params,
                                  {"func_name", "value"},
                                  false,
                                  is_instance_of_rule};

PyObject* is_instance_of_body(Func*, PyObject* const* p, PyObject* types) noexcept {
  PyObject* self = p[0];
  return finish_factory(self, Ref(make_function(is_instance_of_rule_spec, {self, types})),
                        kIsInstanceOf, kIsInstanceOfRuleLine, kIsInstanceOfAppendLine);
}

FuncSpec is_instance_of_spec{"is_instance_of", "ArgumentChecker.is_instance_of", kIsInstanceOf,
                             kIsInstanceOfLine, Style::Params, {"self", "*types_"}, true, is_instance_of_body};

// ---- _is_instance_of ------------------------------------------------------------------------------

const char kWorker[] = "tframe.utils.argchecker.ArgumentChecker._is_instance_of";
constexpr int kWorkerLine = 73;
constexpr int kWorkerTestLine = 74;   // tuple(types_) and the instance test
constexpr int kWorkerRaiseLine = 75;

PyObject* worker_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  PyObject* types = p[1];
  PyObject* func_name = p[2];
  PyObject* value = p[3];
  // An exact tuple is used as it is; anything else goes through tuple().
  Ref converted;
  PyObject* classes = types;
  if (!PyTuple_CheckExact(types)) {
    converted = Ref(PySequence_Tuple(types));
    if (!converted) return tb_error(kWorker, kWorkerTestLine);
    classes = converted.get();
  }
  const int ok = PyObject_IsInstance(value, classes);
  if (ok < 0) return tb_error(kWorker, kWorkerTestLine);
  if (ok) return new_ref(self);
  // The message shows the types object as given, not its tuple form.
  raise_failure(k_expect, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(self, names::arg_name) && a.add_borrowed(types) &&
           a.add_borrowed(value) && a.add_type_of(value);
  });
  return tb_error(kWorker, kWorkerRaiseLine);
}

FuncSpec worker_spec{"_is_instance_of", "ArgumentChecker._is_instance_of", kWorker, kWorkerLine,
                     Style::Params, {"self", "types_", "func_name", "value"}, false, worker_body};

// ---- is_exist_path --------------------------------------------------------------------------------

const char kIsExistPath[] = "tframe.utils.argchecker.ArgumentChecker.is_exist_path";
const char kIsExistPathRule[] = "tframe.utils.argchecker.ArgumentChecker.is_exist_path._is_exist_path";
constexpr int kIsExistPathLine = 64;
constexpr int kIsExistPathRuleLine = 65;
constexpr int kIsExistPathTestLine = 66;    // isinstance and os.path.exists
constexpr int kIsExistPathRaiseLine = 68;
constexpr int kIsExistPathAppendLine = 71;

// cap[0]: the checker.
PyObject* is_exist_path_rule(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* func_name = p[0];
  PyObject* value = p[1];
  if (PyUnicode_Check(value) || PyBytes_Check(value)) {
    // os.path.exists is reached through the module global `os` at every check.
    Ref os(get_global(names::g_os));
    if (!os) return tb_error(kIsExistPathRule, kIsExistPathTestLine);
    Ref path(PyObject_GetAttr(os.get(), n_path));
    if (!path) return tb_error(kIsExistPathRule, kIsExistPathTestLine);
    PyObject* argv[] = {path.get(), value};
    Ref found(PyObject_VectorcallMethod(n_exists, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!found) return tb_error(kIsExistPathRule, kIsExistPathTestLine);
    const int ok = PyObject_IsTrue(found.get());
    if (ok < 0) return tb_error(kIsExistPathRule, kIsExistPathTestLine);
    if (ok) Py_RETURN_NONE;
  }
  PyObject* checker = f->cap[0];
  raise_failure(k_invalid, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(checker, names::arg_name) && a.add_borrowed(value);
  });
  return tb_error(kIsExistPathRule, kIsExistPathRaiseLine);
}

FuncSpec is_exist_path_rule_spec{"_is_exist_path",
                                 "ArgumentChecker.is_exist_path.<locals>._is_exist_path",
                                 kIsExistPathRule,
                                 kIsExistPathRuleLine,
                                 Style::Params,
                                 {"func_name", "value"},
                                 false,
                                 is_exist_path_rule};

PyObject* is_exist_path_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  return finish_factory(self, Ref(make_function(is_exist_path_rule_spec, {self})), kIsExistPath,
                        kIsExistPathRuleLine, kIsExistPathAppendLine);
}

FuncSpec is_exist_path_spec{"is_exist_path", "ArgumentChecker.is_exist_path", kIsExistPath,
                            kIsExistPathLine, Style::Single, {"self"}, false, is_exist_path_body};

// ---- is_empty_or_not ------------------------------------------------------------------------------

const char kIsEmptyOrNot[] = "tframe.utils.argchecker.ArgumentChecker.is_empty_or_not";
const char kEmptyOrNot[] = "tframe.utils.argchecker.ArgumentChecker.is_empty_or_not.empty_or_not";
constexpr int kIsEmptyOrNotLine = 80;
constexpr int kEmptyOrNotLine = 81;
constexpr int kEmptyOrNotNoneLine = 82;      // ignore_none and value is None
constexpr int kEmptyOrNotEmptyLine = 84;     // empty and len(value) > 0
constexpr int kEmptyOrNotEmptyRaise = 85;
constexpr int kEmptyOrNotFilledLine = 86;    // not empty and len(value) < 1
constexpr int kEmptyOrNotFilledRaise = 87;
constexpr int kIsEmptyOrNotAppendLine = 89;

// cap[0]: the checker, cap[1]: `empty`, cap[2]: `ignore_none`, both tested for truth at every check.
PyObject* empty_or_not_rule(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* func_name = p[0];
  PyObject* value = p[1];
  PyObject* checker = f->cap[0];
  PyObject* empty = f->cap[1];

  const int skip_none = PyObject_IsTrue(f->cap[2]);
  if (skip_none < 0) return tb_error(kEmptyOrNot, kEmptyOrNotNoneLine);
  if (skip_none && value == Py_None) Py_RETURN_NONE;

  auto fail = [&](PyObject* key, int line) -> PyObject* {
    raise_failure(key, [&](FmtArgs& a) {
      return a.add_borrowed(func_name) && a.add_attr(checker, names::arg_name) &&
             a.add_borrowed(value) && a.add_type_of(value);
    });
    return tb_error(kEmptyOrNot, line);
  };

  int want_empty = PyObject_IsTrue(empty);
  if (want_empty < 0) return tb_error(kEmptyOrNot, kEmptyOrNotEmptyLine);
  if (want_empty) {
    const Py_ssize_t n = PyObject_Length(value);
    if (n < 0) return tb_error(kEmptyOrNot, kEmptyOrNotEmptyLine);
    if (n > 0) return fail(k_expect_empty, kEmptyOrNotEmptyRaise);
  }
  // `empty` is tested a second time, as its own condition.
  want_empty = PyObject_IsTrue(empty);
  if (want_empty < 0) return tb_error(kEmptyOrNot, kEmptyOrNotFilledLine);
  if (!want_empty) {
    const Py_ssize_t n = PyObject_Length(value);
    if (n < 0) return tb_error(kEmptyOrNot, kEmptyOrNotFilledLine);
    if (n < 1) return fail(k_expect_nonempty, kEmptyOrNotFilledRaise);
  }
  Py_RETURN_NONE;
}

FuncSpec empty_or_not_spec{"empty_or_not",
                           "ArgumentChecker.is_empty_or_not.<locals>.empty_or_not",
                           kEmptyOrNot,
                           kEmptyOrNotLine,
                           Style::Params,
                           {"func_name", "value"},
                           false,
                           empty_or_not_rule};

PyObject* is_empty_or_not_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  return finish_factory(self, Ref(make_function(empty_or_not_spec, {self, p[1], p[2]})),
                        kIsEmptyOrNot, kEmptyOrNotLine, kIsEmptyOrNotAppendLine);
}

FuncSpec is_empty_or_not_spec{"is_empty_or_not", "ArgumentChecker.is_empty_or_not", kIsEmptyOrNot,
                              kIsEmptyOrNotLine, Style::Params, {"self", "empty", "ignore_none"},
                              false, is_empty_or_not_body};

// ---- class members --------------------------------------------------------------------------------

MemberRegistrar reg_is_instance_of{
    Member{3, "is_instance_of", Kind::Plain, &is_instance_of_spec, kIsInstanceOfLine, 0}};
MemberRegistrar reg_is_exist_path{
    Member{5, "is_exist_path", Kind::Plain, &is_exist_path_spec, kIsExistPathLine, 0}};
MemberRegistrar reg_worker{Member{6, "_is_instance_of", Kind::Plain, &worker_spec, kWorkerLine, 0}};
MemberRegistrar reg_is_empty_or_not{
    Member{7, "is_empty_or_not", Kind::Plain, &is_empty_or_not_spec, kIsEmptyOrNotLine, 0,
           +[]() -> PyObject* { return Py_BuildValue("(OO)", Py_False, Py_True); }}};

}  // namespace
}  // namespace ac
