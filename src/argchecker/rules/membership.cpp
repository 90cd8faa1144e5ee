// Membership rules: is_in / _is_in and sub_set / _sub_set. The rules hold the caller's container
// itself, so later changes to it are seen at the next check.
#include "module/members.h"
#include "rules/contract.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"

namespace ac {
namespace {

HotName n_is_in_method{"_is_in"}, n_sub_set_method{"_sub_set"};
Name n_issubset{"issubset"};

// ---- _is_in ---------------------------------------------------------------------------------------

// def _is_in(self, func_name, value, valid_values, ignore_value=True):
enum IsInWorkerLine {
  kIsInWorkerDef = 98,
  kIsInNone = 99,   // ignore_value and value is None
  kIsInTest = 101,  // value not in valid_values
  kIsInRaise = 102,
};

PyObject* is_in_worker_body(Func*, PyObject* const* p, PyObject*) noexcept {
  const FuncDef& def = member::is_in_worker;
  const auto [self, func_name, value, valid_values] = params<4>(p);

  const int skip_none = PyObject_IsTrue(p[4]);
  if (skip_none < 0) return error_at(def, kIsInNone);
  if (skip_none && value == Py_None) Py_RETURN_NONE;

  const int found = PySequence_Contains(valid_values, value);
  if (found < 0) return error_at(def, kIsInTest);
  if (found) Py_RETURN_NONE;
  return fail(def, kIsInRaise, key::EXPECT_VALID,
              {func_name, MsgArg::arg_name(self), MsgArg::repr(valid_values), value, MsgArg::type_of(value)});
}

// ---- is_in ----------------------------------------------------------------------------------------

// def is_in(self, valid_values, ignore_value=True):
//     def check_is_in(func_name, value):
enum IsInLine {
  kIsInDef = 107,
  kCheckIsInDef = 108,
  kCheckIsInCall = 109,  // self._is_in(func_name, value, valid_values, ignore_value)
  kIsInAppend = 111,
};
// What check_is_in captures. The worker is looked up on the checker at every check, so an override
// takes effect.
enum CheckIsInSlot { kIsInChecker, kIsInValidValues, kIsInIgnoreValue };

extern FuncDef check_is_in;

PyObject* check_is_in_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* argv[] = {f->cap[kIsInChecker], p[0], p[1], f->cap[kIsInValidValues], f->cap[kIsInIgnoreValue]};
  return call_worker(check_is_in, kCheckIsInCall, n_is_in_method, argv);
}

FuncDef check_is_in{
    "ArgumentChecker.is_in.<locals>.check_is_in", kCheckIsInDef, {"func_name", "value"}, check_is_in_body};

PyObject* is_in_body(Func*, PyObject* const* p, PyObject*) noexcept {
  return add_rule(member::is_in, kIsInAppend, check_is_in, {p[0], p[1], p[2]});
}

// ---- _sub_set -------------------------------------------------------------------------------------

// def _sub_set(self, func_name, value, valid_values):
enum SubSetWorkerLine {
  kSubSetWorkerDef = 114,
  kSubSetTest = 115,  // set(value).issubset(valid_values)
  kSubSetRaise = 116,
};

PyObject* sub_set_worker_body(Func*, PyObject* const* p, PyObject*) noexcept {
  const FuncDef& def = member::sub_set_worker;
  const auto [self, func_name, value, valid_values] = params<4>(p);

  Ref elements(PySet_New(value));
  if (!elements) return error_at(def, kSubSetTest);
  PyObject* argv[] = {elements.get(), valid_values};
  Ref inside(call_method(n_issubset, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  const int ok = inside ? PyObject_IsTrue(inside.get()) : -1;
  if (ok < 0) return error_at(def, kSubSetTest);
  if (ok) Py_RETURN_NONE;
  // Unlike _is_in, the value itself comes third and the container's text form last.
  return fail(def, kSubSetRaise, key::SUBSET,
              {func_name, MsgArg::arg_name(self), value, MsgArg::repr(valid_values)});
}

// ---- sub_set --------------------------------------------------------------------------------------

// def sub_set(self, valid_values):
//     def check_sub_set(func_name, value):
enum SubSetLine {
  kSubSetDef = 120,
  kCheckSubSetDef = 121,
  kCheckSubSetCall = 122,  // self._sub_set(func_name, value, valid_values)
  kSubSetAppend = 124,
};
// What check_sub_set captures.
enum CheckSubSetSlot { kSubSetChecker, kSubSetValidValues };

extern FuncDef check_sub_set;

PyObject* check_sub_set_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* argv[] = {f->cap[kSubSetChecker], p[0], p[1], f->cap[kSubSetValidValues]};
  return call_worker(check_sub_set, kCheckSubSetCall, n_sub_set_method, argv);
}

FuncDef check_sub_set{"ArgumentChecker.sub_set.<locals>.check_sub_set",
                      kCheckSubSetDef,
                      {"func_name", "value"},
                      check_sub_set_body};

PyObject* sub_set_body(Func*, PyObject* const* p, PyObject*) noexcept {
  return add_rule(member::sub_set, kSubSetAppend, check_sub_set, {p[0], p[1]});
}

}  // namespace

FuncDef member::is_in_worker{"ArgumentChecker._is_in",
                             kIsInWorkerDef,
                             {"self", "func_name", "value", "valid_values", {"ignore_value", dflt::yes}},
                             is_in_worker_body};
FuncDef member::is_in{
    "ArgumentChecker.is_in", kIsInDef, {"self", "valid_values", {"ignore_value", dflt::yes}}, is_in_body};
FuncDef member::sub_set_worker{"ArgumentChecker._sub_set",
                               kSubSetWorkerDef,
                               {"self", "func_name", "value", "valid_values"},
                               sub_set_worker_body};
FuncDef member::sub_set{"ArgumentChecker.sub_set", kSubSetDef, {"self", "valid_values"}, sub_set_body};

}  // namespace ac
