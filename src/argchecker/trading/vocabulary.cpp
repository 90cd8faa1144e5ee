// Order-field vocabularies (stop type, stop gap, trailing type, order category, order action) and the
// callable rule. Each factory appends a closure that holds only the checker; the vocabulary is read
// through the checker at every check, so an instance attribute or a subclass constant takes its place.
#include <Python.h>

#include "host/globals.h"
#include "rules/checker.h"
#include "runtime/failure.h"
#include "runtime/function.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"
#include "trading/ascii_case.h"

namespace ac {
namespace {

using trading::Case;

Name n_STOP_TYPE{"STOP_TYPE"}, n_STOP_GAP{"STOP_GAP"}, n_TRAILING_TYPE{"TRAILING_TYPE"},
    n_ORDER_CTG{"ORDER_CTG"}, n_ORDER_ACT{"ORDER_ACT"};
Name n_EXPECT_VALID{"ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR"};
Name n_EXPECT_FUNCTYPE{"ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR"};

// Source lines inside each factory, counted from the factory's definition line.
constexpr int kClosureDef = 1;  // def check_...(func_name, value)
constexpr int kTest = 2;        // the test of the value
constexpr int kRaise = 3;       // building the message and raising
constexpr int kAppend = 7;      // self.rules.append(check_...)

struct Vocabulary {
  const Name& constant;   // the checker attribute holding the valid words
  const char* factory_tb;
  const char* check_tb;
  int line;               // definition line of the factory
};

constexpr Vocabulary kStopType{n_STOP_TYPE, "tframe.utils.argchecker.ArgumentChecker.is_stop_type",
                           "tframe.utils.argchecker.ArgumentChecker.is_stop_type.check_stop_type", 127};
constexpr Vocabulary kStopGap{n_STOP_GAP, "tframe.utils.argchecker.ArgumentChecker.is_stop_gap",
                          "tframe.utils.argchecker.ArgumentChecker.is_stop_gap.check_stop_gap", 137};
constexpr Vocabulary kTrailingType{
    n_TRAILING_TYPE, "tframe.utils.argchecker.ArgumentChecker.is_trailing_type",
    "tframe.utils.argchecker.ArgumentChecker.is_trailing_type.check_trailing_type", 157};
constexpr Vocabulary kOderCtg{n_ORDER_CTG, "tframe.utils.argchecker.ArgumentChecker.is_oder_ctg",
                          "tframe.utils.argchecker.ArgumentChecker.is_oder_ctg.check_oder_ctg", 167};
constexpr Vocabulary kOderAct{n_ORDER_ACT, "tframe.utils.argchecker.ArgumentChecker.is_oder_act",
                          "tframe.utils.argchecker.ArgumentChecker.is_oder_act.check_oder_act", 177};

// `value.lower() in self.<constant>` for a str value; 1, 0, or -1 with an error set.
int lowered_in_vocabulary(const Vocabulary& v, PyObject* self, PyObject* value) noexcept {
  if (trading::is_exact_ascii(value)) {
    // The built-in lower of a plain str runs no Python code, so reading the constant first is unseen.
    Ref words(PyObject_GetAttr(self, v.constant));
    if (!words) return -1;
    int found = trading::ascii_mapped_contains(words.get(), value, Case::Lower);
    if (found >= 0) return found;
    Ref lowered(PyObject_CallMethodNoArgs(value, names::lower));
    if (!lowered) return -1;
    return PySequence_Contains(words.get(), lowered.get());
  }
  // A str subclass may override lower: it runs before the constant is read.
  Ref lowered(PyObject_CallMethodNoArgs(value, names::lower));
  if (!lowered) return -1;
  Ref words(PyObject_GetAttr(self, v.constant));
  if (!words) return -1;
  return PySequence_Contains(words.get(), lowered.get());
}

PyObject* check_vocabulary(const Vocabulary& v, Func* f, PyObject* const* p) noexcept {
  PyObject* self = f->cap[0];
  PyObject* func_name = p[0];
  PyObject* value = p[1];
  // Anything that is not a str fails here, before any operation is applied to it.
  if (PyUnicode_Check(value)) {
    const int found = lowered_in_vocabulary(v, self, value);
    if (found < 0) return tb_error(v.check_tb, v.line + kTest);
    if (found) Py_RETURN_NONE;
  }
  raise_failure(n_EXPECT_VALID, [&](FmtArgs& a) {
    if (!a.add_borrowed(func_name) || !a.add_attr(self, names::arg_name)) return false;
    Ref words(PyObject_GetAttr(self, v.constant));  // read again for the message
    return words && a.add_repr(words.get()) && a.add_borrowed(value) && a.add_type_of(value);
  });
  return tb_error(v.check_tb, v.line + kRaise);
}

FuncSpec check_stop_type_spec{
    "check_stop_type", "ArgumentChecker.is_stop_type.<locals>.check_stop_type", kStopType.check_tb,
    kStopType.line + kClosureDef, Style::Params, {"func_name", "value"}, false,
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kStopType, f, p); }};
FuncSpec check_stop_gap_spec{
    "check_stop_gap", "ArgumentChecker.is_stop_gap.<locals>.check_stop_gap", kStopGap.check_tb,
    kStopGap.line + kClosureDef, Style::Params, {"func_name", "value"}, false,
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kStopGap, f, p); }};
FuncSpec check_trailing_type_spec{
    "check_trailing_type", "ArgumentChecker.is_trailing_type.<locals>.check_trailing_type",
    kTrailingType.check_tb, kTrailingType.line + kClosureDef, Style::Params, {"func_name", "value"},
    false,
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kTrailingType, f, p); }};
FuncSpec check_oder_ctg_spec{
    "check_oder_ctg", "ArgumentChecker.is_oder_ctg.<locals>.check_oder_ctg", kOderCtg.check_tb,
    kOderCtg.line + kClosureDef, Style::Params, {"func_name", "value"}, false,
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kOderCtg, f, p); }};
FuncSpec check_oder_act_spec{
    "check_oder_act", "ArgumentChecker.is_oder_act.<locals>.check_oder_act", kOderAct.check_tb,
    kOderAct.line + kClosureDef, Style::Params, {"func_name", "value"}, false,
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kOderAct, f, p); }};

// ---- the callable rule ------------------------------------------------------------------------------

const char kIsCallable[] = "tframe.utils.argchecker.ArgumentChecker.is_callable";
const char kCheckCallableType[] = "tframe.utils.argchecker.ArgumentChecker.is_callable.check_callable_type";
constexpr int kIsCallableLine = 147;

PyObject* check_callable_type_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = f->cap[0];
  PyObject* func_name = p[0];
  PyObject* value = p[1];
  if (PyCallable_Check(value)) Py_RETURN_NONE;
  raise_failure(n_EXPECT_FUNCTYPE, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(self, names::arg_name) && a.add_borrowed(value) &&
           a.add_type_of(value);
  });
  return tb_error(kCheckCallableType, kIsCallableLine + kRaise);
}

FuncSpec check_callable_type_spec{
    "check_callable_type", "ArgumentChecker.is_callable.<locals>.check_callable_type",
    kCheckCallableType, kIsCallableLine + kClosureDef, Style::Params, {"func_name", "value"}, false,
    check_callable_type_body};

// ---- the factories ----------------------------------------------------------------------------------

PyObject* build(PyObject* self, const FuncSpec& check, const char* tb, int line) noexcept {
  return finish_factory(self, Ref(make_function(check, {self})), tb, line + kClosureDef, line + kAppend);
}

FuncSpec is_stop_type_spec{
    "is_stop_type", "ArgumentChecker.is_stop_type", kStopType.factory_tb, kStopType.line, Style::Single,
    {"self"}, false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build(p[0], check_stop_type_spec, kStopType.factory_tb, kStopType.line);
    }};
FuncSpec is_stop_gap_spec{
    "is_stop_gap", "ArgumentChecker.is_stop_gap", kStopGap.factory_tb, kStopGap.line, Style::Single,
    {"self"}, false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build(p[0], check_stop_gap_spec, kStopGap.factory_tb, kStopGap.line);
    }};
FuncSpec is_callable_spec{
    "is_callable", "ArgumentChecker.is_callable", kIsCallable, kIsCallableLine, Style::Single, {"self"},
    false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build(p[0], check_callable_type_spec, kIsCallable, kIsCallableLine);
    }};
FuncSpec is_trailing_type_spec{
    "is_trailing_type", "ArgumentChecker.is_trailing_type", kTrailingType.factory_tb, kTrailingType.line,
    Style::Single, {"self"}, false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build(p[0], check_trailing_type_spec, kTrailingType.factory_tb, kTrailingType.line);
    }};
FuncSpec is_oder_ctg_spec{
    "is_oder_ctg", "ArgumentChecker.is_oder_ctg", kOderCtg.factory_tb, kOderCtg.line, Style::Single,
    {"self"}, false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build(p[0], check_oder_ctg_spec, kOderCtg.factory_tb, kOderCtg.line);
    }};
FuncSpec is_oder_act_spec{
    "is_oder_act", "ArgumentChecker.is_oder_act", kOderAct.factory_tb, kOderAct.line, Style::Single,
    {"self"}, false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build(p[0], check_oder_act_spec, kOderAct.factory_tb, kOderAct.line);
    }};

MemberRegistrar reg_is_callable{Member{4, "is_callable", Kind::Plain, &is_callable_spec, kIsCallableLine, 0}};
MemberRegistrar reg_is_stop_type{Member{12, "is_stop_type", Kind::Plain, &is_stop_type_spec, kStopType.line, 0}};
MemberRegistrar reg_is_stop_gap{Member{13, "is_stop_gap", Kind::Plain, &is_stop_gap_spec, kStopGap.line, 0}};
MemberRegistrar reg_is_trailing_type{
    Member{14, "is_trailing_type", Kind::Plain, &is_trailing_type_spec, kTrailingType.line, 0}};
MemberRegistrar reg_is_oder_ctg{Member{15, "is_oder_ctg", Kind::Plain, &is_oder_ctg_spec, kOderCtg.line, 0}};
MemberRegistrar reg_is_oder_act{Member{16, "is_oder_act", Kind::Plain, &is_oder_act_spec, kOderAct.line, 0}};

}  // namespace
}  // namespace ac
