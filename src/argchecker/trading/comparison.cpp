// Bounds on ordered values. Each rule makes exactly one rich comparison, the failing one (`value <= low`
// for "greater than"), and raises when its result is true: a NaN passes every bound. The bound is held
// by reference, neither copied nor checked.
#include <Python.h>

#include "module/members.h"
#include "rules/contract.h"
#include "runtime/compare.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {
namespace {

HotName n_is_greater_or_equal_than{"_is_greater_or_equal_than"};

// Each factory reads, from its definition line on:
// def is_greater_than(self, low):
//     def check_greater_than(func_name, value):
//         if value <= low:                        (the comparison)
//             raise ...                           (the message, the raise)
//     self.rules.append(check_greater_than)
enum GreaterLine {
  kGreaterDef = 262,
  kGreaterCheck = 263,
  kGreaterCompare = 264,
  kGreaterRaise = 265,
  kGreaterAppend = 268
};
// def _is_greater_or_equal_than(self, low, func_name, value):
enum GreaterEqualWorkerLine {
  kGreaterEqualWorkerDef = 272,
  kGreaterEqualWorkerCompare = 273,
  kGreaterEqualWorkerRaise = 274
};
// def is_greater_or_equal_than(self, low):
//     def check_greater_or_equal_than(func_name, value):
//         return self._is_greater_or_equal_than(low, func_name, value)
enum GreaterEqualLine {
  kGreaterEqualDef = 279,
  kGreaterEqualCheck = 280,
  kGreaterEqualCall = 281,
  kGreaterEqualAppend = 282
};
enum LessLine { kLessDef = 286, kLessCheck = 287, kLessCompare = 288, kLessRaise = 289, kLessAppend = 292 };
enum LessEqualLine {
  kLessEqualDef = 296,
  kLessEqualCheck = 297,
  kLessEqualCompare = 298,
  kLessEqualRaise = 299,
  kLessEqualAppend = 302
};

// What every closure of this file captures.
enum CheckSlot { kChecker, kBound };

struct Bound {
  const Name& key;
  int op;  // the failing comparison, value <op> bound
  const FuncDef& factory;
  const FuncDef& check;
  int compare_line, raise_line, append_line;
};

extern FuncDef check_greater_than, check_greater_or_equal_than, check_less_than, check_less_or_equal_than;

const Bound kGreater{key::EXPECT_GREATER, Py_LE,         member::is_greater_than, check_greater_than,
                     kGreaterCompare,     kGreaterRaise, kGreaterAppend};
const Bound kLess{key::EXPECT_LESS, Py_GE,      member::is_less_than, check_less_than,
                  kLessCompare,     kLessRaise, kLessAppend};
const Bound kLessEqual{key::EXPECT_LESS_EQUAL,
                       Py_GT,
                       member::is_less_or_equal_than,
                       check_less_or_equal_than,
                       kLessEqualCompare,
                       kLessEqualRaise,
                       kLessEqualAppend};

PyObject* fail_bound(const FuncDef& def, int line, PyObject* key, PyObject* self, PyObject* func_name,
                     PyObject* bound, PyObject* value) noexcept {
  return fail(def, line, key, {func_name, MsgArg::arg_name(self), bound, value, MsgArg::type_of(value)});
}

// The closures of is_greater_than, is_less_than and is_less_or_equal_than.
PyObject* check_bound(const Bound& b, Func* f, PyObject* const* p) noexcept {
  PyObject* bound = f->cap[kBound];
  const int bad = compare_truth(p[1], bound, b.op);
  if (bad < 0) return error_at(b.check, b.compare_line);
  if (!bad) Py_RETURN_NONE;
  return fail_bound(b.check, b.raise_line, b.key, f->cap[kChecker], p[0], bound, p[1]);
}

// _is_greater_or_equal_than(self, low, func_name, value): returns the checker when value is not below low.
PyObject* is_greater_or_equal_worker_body(Func*, PyObject* const* p, PyObject*) noexcept {
  const FuncDef& def = member::is_greater_or_equal_worker;
  PyObject* self = p[0];
  PyObject* low = p[1];
  const int bad = compare_truth(p[3], low, Py_LT);
  if (bad < 0) return error_at(def, kGreaterEqualWorkerCompare);
  if (!bad) return new_ref(self);
  return fail_bound(def, kGreaterEqualWorkerRaise, key::EXPECT_GREATER_EQUAL, self, p[2], low, p[3]);
}

// The closure of is_greater_or_equal_than looks the method up on the checker at each call, so a
// subclass override is the one run, and returns what it returns.
PyObject* check_greater_or_equal_than_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* argv[] = {f->cap[kChecker], f->cap[kBound], p[0], p[1]};
  return call_worker(check_greater_or_equal_than, kGreaterEqualCall, n_is_greater_or_equal_than, argv);
}

FuncDef check_greater_than{
    "ArgumentChecker.is_greater_than.<locals>.check_greater_than",
    kGreaterCheck,
    {"func_name", "value"},
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_bound(kGreater, f, p); }};
FuncDef check_greater_or_equal_than{
    "ArgumentChecker.is_greater_or_equal_than.<locals>.check_greater_or_equal_than",
    kGreaterEqualCheck,
    {"func_name", "value"},
    check_greater_or_equal_than_body};
FuncDef check_less_than{
    "ArgumentChecker.is_less_than.<locals>.check_less_than",
    kLessCheck,
    {"func_name", "value"},
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_bound(kLess, f, p); }};
FuncDef check_less_or_equal_than{
    "ArgumentChecker.is_less_or_equal_than.<locals>.check_less_or_equal_than",
    kLessEqualCheck,
    {"func_name", "value"},
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_bound(kLessEqual, f, p); }};

// Factory: capture the checker and the bound, append, return the checker.
PyObject* build(const FuncDef& factory, const FuncDef& check, int append_line, PyObject* const* p) noexcept {
  return add_rule(factory, append_line, check, {p[0], p[1]});
}
PyObject* build(const Bound& b, PyObject* const* p) noexcept {
  return build(b.factory, b.check, b.append_line, p);
}

}  // namespace

FuncDef member::is_greater_than{
    "ArgumentChecker.is_greater_than",
    kGreaterDef,
    {"self", "low"},
    [](Func*, PyObject* const* p, PyObject*) noexcept { return build(kGreater, p); }};
FuncDef member::is_greater_or_equal_worker{"ArgumentChecker._is_greater_or_equal_than",
                                           kGreaterEqualWorkerDef,
                                           {"self", "low", "func_name", "value"},
                                           is_greater_or_equal_worker_body};
FuncDef member::is_greater_or_equal_than{"ArgumentChecker.is_greater_or_equal_than",
                                         kGreaterEqualDef,
                                         {"self", "low"},
                                         [](Func*, PyObject* const* p, PyObject*) noexcept {
                                           return build(member::is_greater_or_equal_than,
                                                        check_greater_or_equal_than, kGreaterEqualAppend, p);
                                         }};
FuncDef member::is_less_than{"ArgumentChecker.is_less_than",
                             kLessDef,
                             {"self", "high"},
                             [](Func*, PyObject* const* p, PyObject*) noexcept { return build(kLess, p); }};
FuncDef member::is_less_or_equal_than{
    "ArgumentChecker.is_less_or_equal_than",
    kLessEqualDef,
    {"self", "high"},
    [](Func*, PyObject* const* p, PyObject*) noexcept { return build(kLessEqual, p); }};

}  // namespace ac
