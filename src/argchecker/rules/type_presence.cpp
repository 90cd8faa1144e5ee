// Type and presence rules: is_instance_of (with its worker _is_instance_of), is_exist_path and
// is_empty_or_not.
#include "module/members.h"
#include "rules/contract.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/globals.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"

namespace ac {
namespace {

HotName n_is_instance_of_method{"_is_instance_of"};
Name n_path{"path"};
Name n_exists{"exists"};

// ---- is_instance_of -------------------------------------------------------------------------------

// def is_instance_of(self, *types_):
//     def _is_instance_of(func_name, value):
enum IsInstanceOfLine {
  kIsInstanceOfDef = 47,
  kIsInstanceOfRuleDef = 48,
  kIsInstanceOfCall = 49,  // self._is_instance_of(types_, func_name, value)
  kIsInstanceOfAppend = 51,
};
// What the rule captures: the checker and the tuple of types as passed to the factory.
enum IsInstanceOfSlot { kIsInstanceOfChecker, kIsInstanceOfTypes };

extern FuncDef is_instance_of_rule;

// The worker is looked up on the checker at every check, so an override in a subclass or on the
// instance takes effect; its result (the checker) is the rule's result.
PyObject* is_instance_of_rule_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* argv[] = {f->cap[kIsInstanceOfChecker], f->cap[kIsInstanceOfTypes], p[0], p[1]};
  return call_worker(is_instance_of_rule, kIsInstanceOfCall, n_is_instance_of_method, argv);
}

FuncDef is_instance_of_rule{"ArgumentChecker.is_instance_of.<locals>._is_instance_of",
                            kIsInstanceOfRuleDef,
                            {"func_name", "value"},
                            is_instance_of_rule_body};

PyObject* is_instance_of_body(Func*, PyObject* const* p, PyObject* types) noexcept {
  return add_rule(member::is_instance_of, kIsInstanceOfAppend, is_instance_of_rule, {p[0], types});
}

// ---- _is_instance_of ------------------------------------------------------------------------------

// def _is_instance_of(self, types_, func_name, value):
enum WorkerLine {
  kWorkerDef = 73,
  kWorkerTest = 74,  // tuple(types_) and the instance test
  kWorkerRaise = 75,
};

PyObject* worker_body(Func*, PyObject* const* p, PyObject*) noexcept {
  const FuncDef& def = member::is_instance_of_worker;
  const auto [self, types, func_name, value] = params<4>(p);
  // An exact tuple is used as it is; anything else goes through tuple().
  Ref converted;
  PyObject* classes = types;
  if (!PyTuple_CheckExact(types)) {
    converted = Ref(PySequence_Tuple(types));
    if (!converted) return error_at(def, kWorkerTest);
    classes = converted.get();
  }
  const int ok = PyObject_IsInstance(value, classes);
  if (ok < 0) return error_at(def, kWorkerTest);
  if (ok) return new_ref(self);
  // The message shows the types object as given, not its tuple form.
  return fail(def, kWorkerRaise, key::EXPECT,
              {func_name, MsgArg::arg_name(self), types, value, MsgArg::type_of(value)});
}

// ---- is_exist_path --------------------------------------------------------------------------------

// def is_exist_path(self):
//     def _is_exist_path(func_name, value):
enum IsExistPathLine {
  kIsExistPathDef = 64,
  kIsExistPathRuleDef = 65,
  kIsExistPathTest = 66,  // isinstance and os.path.exists
  kIsExistPathRaise = 68,
  kIsExistPathAppend = 71,
};
enum IsExistPathSlot { kIsExistPathChecker };

extern FuncDef is_exist_path_rule;

PyObject* is_exist_path_rule_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* func_name = p[0];
  PyObject* value = p[1];
  if (PyUnicode_Check(value) || PyBytes_Check(value)) {
    // os.path.exists is reached through the module global `os` at every check.
    Ref os(get_global(names::os));
    Ref path(os ? PyObject_GetAttr(os.get(), n_path) : nullptr);
    if (!path) return error_at(is_exist_path_rule, kIsExistPathTest);
    PyObject* argv[] = {path.get(), value};
    Ref found(call_method(n_exists, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    const int ok = found ? PyObject_IsTrue(found.get()) : -1;
    if (ok < 0) return error_at(is_exist_path_rule, kIsExistPathTest);
    if (ok) Py_RETURN_NONE;
  }
  return fail(is_exist_path_rule, kIsExistPathRaise, key::INVALID_PARAM,
              {func_name, MsgArg::arg_name(f->cap[kIsExistPathChecker]), value});
}

FuncDef is_exist_path_rule{"ArgumentChecker.is_exist_path.<locals>._is_exist_path",
                           kIsExistPathRuleDef,
                           {"func_name", "value"},
                           is_exist_path_rule_body};

PyObject* is_exist_path_body(Func*, PyObject* const* p, PyObject*) noexcept {
  return add_rule(member::is_exist_path, kIsExistPathAppend, is_exist_path_rule, {p[0]});
}

// ---- is_empty_or_not ------------------------------------------------------------------------------

// def is_empty_or_not(self, empty=False, ignore_none=True):
//     def empty_or_not(func_name, value):
enum IsEmptyOrNotLine {
  kIsEmptyOrNotDef = 80,
  kEmptyOrNotDef = 81,
  kEmptyOrNotNone = 82,   // ignore_none and value is None
  kEmptyOrNotEmpty = 84,  // empty and len(value) > 0
  kEmptyOrNotEmptyRaise = 85,
  kEmptyOrNotFilled = 86,  // not empty and len(value) < 1
  kEmptyOrNotFilledRaise = 87,
  kIsEmptyOrNotAppend = 89,
};
// What empty_or_not captures: `empty` and `ignore_none` are tested for truth at every check.
enum EmptyOrNotSlot { kEmptyOrNotChecker, kEmptyOrNotEmptyFlag, kEmptyOrNotIgnoreNone };

extern FuncDef empty_or_not;

PyObject* empty_or_not_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* func_name = p[0];
  PyObject* value = p[1];
  PyObject* checker = f->cap[kEmptyOrNotChecker];
  PyObject* empty = f->cap[kEmptyOrNotEmptyFlag];

  const int skip_none = PyObject_IsTrue(f->cap[kEmptyOrNotIgnoreNone]);
  if (skip_none < 0) return error_at(empty_or_not, kEmptyOrNotNone);
  if (skip_none && value == Py_None) Py_RETURN_NONE;

  int want_empty = PyObject_IsTrue(empty);
  if (want_empty < 0) return error_at(empty_or_not, kEmptyOrNotEmpty);
  if (want_empty) {
    const Py_ssize_t n = PyObject_Length(value);
    if (n < 0) return error_at(empty_or_not, kEmptyOrNotEmpty);
    if (n > 0)
      return fail_value(empty_or_not, kEmptyOrNotEmptyRaise, key::EXPECT_EMPTY, func_name, checker, value);
  }
  // `empty` is tested a second time, as its own condition.
  want_empty = PyObject_IsTrue(empty);
  if (want_empty < 0) return error_at(empty_or_not, kEmptyOrNotFilled);
  if (!want_empty) {
    const Py_ssize_t n = PyObject_Length(value);
    if (n < 0) return error_at(empty_or_not, kEmptyOrNotFilled);
    if (n < 1)
      return fail_value(empty_or_not, kEmptyOrNotFilledRaise, key::EXPECT_NONEMPTY, func_name, checker,
                        value);
  }
  Py_RETURN_NONE;
}

FuncDef empty_or_not{"ArgumentChecker.is_empty_or_not.<locals>.empty_or_not",
                     kEmptyOrNotDef,
                     {"func_name", "value"},
                     empty_or_not_body};

PyObject* is_empty_or_not_body(Func*, PyObject* const* p, PyObject*) noexcept {
  return add_rule(member::is_empty_or_not, kIsEmptyOrNotAppend, empty_or_not, {p[0], p[1], p[2]});
}

}  // namespace

FuncDef member::is_instance_of{
    "ArgumentChecker.is_instance_of", kIsInstanceOfDef, {"self", "*types_"}, is_instance_of_body};
FuncDef member::is_instance_of_worker{
    "ArgumentChecker._is_instance_of", kWorkerDef, {"self", "types_", "func_name", "value"}, worker_body};
FuncDef member::is_exist_path{"ArgumentChecker.is_exist_path", kIsExistPathDef, {"self"}, is_exist_path_body};
FuncDef member::is_empty_or_not{"ArgumentChecker.is_empty_or_not",
                                kIsEmptyOrNotDef,
                                {"self", {"empty", dflt::no}, {"ignore_none", dflt::yes}},
                                is_empty_or_not_body};

}  // namespace ac
