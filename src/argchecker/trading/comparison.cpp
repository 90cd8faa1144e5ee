// Bounds on ordered values. Each rule makes exactly one rich comparison, the failing one (`value <= low`
// for "greater than"), and raises when its result is true: a NaN passes every bound. The bound is held
// by reference, neither copied nor checked.
#include <Python.h>

#include "host/globals.h"
#include "runtime/compare.h"
#include "rules/checker.h"
#include "runtime/failure.h"
#include "runtime/function.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"

namespace ac {
namespace {

Name n_EXPECT_GREATER{"ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_ERROR"};
Name n_EXPECT_GREATER_EQUAL{"ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_EQUAL_ERROR"};
Name n_EXPECT_LESS{"ARGCHECKER_INVALID_PARAM_EXPECT_LESS_ERROR"};
Name n_EXPECT_LESS_EQUAL{"ARGCHECKER_INVALID_PARAM_EXPECT_LESS_EQUAL_ERROR"};
Name n_is_greater_or_equal_than{"_is_greater_or_equal_than"};

// Source lines inside each factory (and inside the checks), counted from the definition line.
constexpr int kClosureDef = 1;
constexpr int kCompare = 2;  // in a closure: the comparison
constexpr int kRaise = 3;    // in a closure: building the message and raising
constexpr int kMethodCompare = 1;  // in _is_greater_or_equal_than
constexpr int kMethodRaise = 2;

struct Bound {
  const Name& key;
  int op;                 // the failing comparison, value <op> bound
  const char* factory_tb;
  const char* check_tb;
  int line;               // definition line of the factory (or of the method)
  int append;             // line of self.rules.append(...) in the factory
};

constexpr Bound kGreater{n_EXPECT_GREATER, Py_LE, "tframe.utils.argchecker.ArgumentChecker.is_greater_than",
                         "tframe.utils.argchecker.ArgumentChecker.is_greater_than.check_greater_than", 262, 268};
constexpr Bound kGreaterEqual{
    n_EXPECT_GREATER_EQUAL, Py_LT, "tframe.utils.argchecker.ArgumentChecker.is_greater_or_equal_than",
    "tframe.utils.argchecker.ArgumentChecker.is_greater_or_equal_than.check_greater_or_equal_than", 279,
    282};
constexpr Bound kGreaterEqualMethod{n_EXPECT_GREATER_EQUAL, Py_LT, nullptr,
                                    "tframe.utils.argchecker.ArgumentChecker._is_greater_or_equal_than",
                                    272, 0};
constexpr Bound kLess{n_EXPECT_LESS, Py_GE, "tframe.utils.argchecker.ArgumentChecker.is_less_than",
                      "tframe.utils.argchecker.ArgumentChecker.is_less_than.check_less_than", 286, 292};
constexpr Bound kLessEqual{n_EXPECT_LESS_EQUAL, Py_GT,
                           "tframe.utils.argchecker.ArgumentChecker.is_less_or_equal_than",
                           "tframe.utils.argchecker.ArgumentChecker.is_less_or_equal_than.check_less_or_equal_than",
                           296, 302};

// `value <op> bound`, then its truth; 1 when the bound is violated, 0 when not, -1 with an error set.
int violates(PyObject* value, PyObject* bound, int op) noexcept { return compare_truth(value, bound, op); }

PyObject* raise_bound(const Bound& b, PyObject* self, PyObject* func_name, PyObject* bound,
                      PyObject* value) noexcept {
  return raise_failure(b.key, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(self, names::arg_name) && a.add_borrowed(bound) &&
           a.add_borrowed(value) && a.add_type_of(value);
  });
}

// The closures of is_greater_than, is_less_than and is_less_or_equal_than: the checker and the bound
// are captured.
PyObject* check_bound(const Bound& b, Func* f, PyObject* const* p) noexcept {
  PyObject* self = f->cap[0];
  PyObject* bound = f->cap[1];
  const int bad = violates(p[1], bound, b.op);
  if (bad < 0) return tb_error(b.check_tb, b.line + kCompare);
  if (!bad) Py_RETURN_NONE;
  raise_bound(b, self, p[0], bound, p[1]);
  return tb_error(b.check_tb, b.line + kRaise);
}

// _is_greater_or_equal_than(self, low, func_name, value): returns the checker when value is not below low.
PyObject* is_greater_or_equal_method(Func*, PyObject* const* p, PyObject*) noexcept {
  const Bound& b = kGreaterEqualMethod;
  PyObject* self = p[0];
  PyObject* low = p[1];
  const int bad = violates(p[3], low, b.op);
  if (bad < 0) return tb_error(b.check_tb, b.line + kMethodCompare);
  if (!bad) return new_ref(self);
  raise_bound(b, self, p[2], low, p[3]);
  return tb_error(b.check_tb, b.line + kMethodRaise);
}

// The closure of is_greater_or_equal_than looks the method up on the checker at each call, so a
// subclass override is the one run, and returns what it returns.
PyObject* check_greater_or_equal_than(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* argv[] = {f->cap[0], f->cap[1], p[0], p[1]};
  PyObject* r = PyObject_VectorcallMethod(n_is_greater_or_equal_than, argv,
                                          4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!r) return tb_error(kGreaterEqual.check_tb, kGreaterEqual.line + kCompare);
  return r;
}

FuncSpec check_greater_than_spec{
    "check_greater_than", "ArgumentChecker.is_greater_than.<locals>.check_greater_than", kGreater.check_tb,
    kGreater.line + kClosureDef, Style::Params, {"func_name", "value"}, false,
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_bound(kGreater, f, p); }};
FuncSpec check_greater_or_equal_than_spec{
    "check_greater_or_equal_than",
    "ArgumentChecker.is_greater_or_equal_than.<locals>.check_greater_or_equal_than",
    kGreaterEqual.check_tb, kGreaterEqual.line + kClosureDef, Style::Params, {"func_name", "value"}, false,
    check_greater_or_equal_than};
FuncSpec check_less_than_spec{
    "check_less_than", "ArgumentChecker.is_less_than.<locals>.check_less_than", kLess.check_tb,
    kLess.line + kClosureDef, Style::Params, {"func_name", "value"}, false,
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_bound(kLess, f, p); }};
FuncSpec check_less_or_equal_than_spec{
    "check_less_or_equal_than", "ArgumentChecker.is_less_or_equal_than.<locals>.check_less_or_equal_than",
    kLessEqual.check_tb, kLessEqual.line + kClosureDef, Style::Params, {"func_name", "value"}, false,
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_bound(kLessEqual, f, p); }};

// Factory: capture the checker and the bound, append, return the checker.
PyObject* build(const Bound& b, const FuncSpec& check, PyObject* const* p) noexcept {
  return finish_factory(p[0], Ref(make_function(check, {p[0], p[1]})), b.factory_tb,
                        b.line + kClosureDef, b.append);
}

FuncSpec is_greater_than_spec{
    "is_greater_than", "ArgumentChecker.is_greater_than", kGreater.factory_tb, kGreater.line,
    Style::Params, {"self", "low"}, false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build(kGreater, check_greater_than_spec, p);
    }};
FuncSpec is_greater_or_equal_method_spec{
    "_is_greater_or_equal_than", "ArgumentChecker._is_greater_or_equal_than", kGreaterEqualMethod.check_tb,
    kGreaterEqualMethod.line, Style::Params, {"self", "low", "func_name", "value"}, false,
    is_greater_or_equal_method};
FuncSpec is_greater_or_equal_than_spec{
    "is_greater_or_equal_than", "ArgumentChecker.is_greater_or_equal_than", kGreaterEqual.factory_tb,
    kGreaterEqual.line, Style::Params, {"self", "low"}, false,
    [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build(kGreaterEqual, check_greater_or_equal_than_spec, p);
    }};
FuncSpec is_less_than_spec{
    "is_less_than", "ArgumentChecker.is_less_than", kLess.factory_tb, kLess.line, Style::Params,
    {"self", "high"}, false,
    [](Func*, PyObject* const* p, PyObject*) noexcept { return build(kLess, check_less_than_spec, p); }};
FuncSpec is_less_or_equal_than_spec{
    "is_less_or_equal_than", "ArgumentChecker.is_less_or_equal_than", kLessEqual.factory_tb,
    kLessEqual.line, Style::Params, {"self", "high"}, false,
    [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build(kLessEqual, check_less_or_equal_than_spec, p);
    }};

MemberRegistrar reg_is_greater_than{
    Member{20, "is_greater_than", Kind::Plain, &is_greater_than_spec, kGreater.line, 0}};
MemberRegistrar reg_is_greater_or_equal_method{Member{21, "_is_greater_or_equal_than", Kind::Plain,
                                                      &is_greater_or_equal_method_spec,
                                                      kGreaterEqualMethod.line, 0}};
MemberRegistrar reg_is_greater_or_equal_than{Member{22, "is_greater_or_equal_than", Kind::Plain,
                                                    &is_greater_or_equal_than_spec, kGreaterEqual.line, 0}};
MemberRegistrar reg_is_less_than{Member{23, "is_less_than", Kind::Plain, &is_less_than_spec, kLess.line, 0}};
MemberRegistrar reg_is_less_or_equal_than{
    Member{24, "is_less_or_equal_than", Kind::Plain, &is_less_or_equal_than_spec, kLessEqual.line, 0}};

}  // namespace
}  // namespace ac
