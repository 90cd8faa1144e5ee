// Order-field vocabularies (stop type, stop gap, trailing type, order category, order action) and the
// callable rule. Each factory appends a closure that holds only the checker; the vocabulary is read
// through the checker at every check, so an instance attribute or a subclass constant takes its place.
#include <Python.h>

#include "module/members.h"
#include "rules/contract.h"
#include "runtime/cache/cache.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "trading/ascii_case.h"

namespace ac {
namespace {

using trading::Case;

HotName n_STOP_TYPE{"STOP_TYPE"}, n_STOP_GAP{"STOP_GAP"}, n_TRAILING_TYPE{"TRAILING_TYPE"},
    n_ORDER_CTG{"ORDER_CTG"}, n_ORDER_ACT{"ORDER_ACT"};

// Each factory reads, from its definition line on:
// def is_stop_type(self):
//     def check_stop_type(func_name, value):
//         if isinstance(value, str) and value.lower() in self.STOP_TYPE:   (the test)
//             ...                                                           (the message, the raise)
//     self.rules.append(check_stop_type)
enum StopTypeLine {
  kStopTypeDef = 127,
  kStopTypeCheck = 128,
  kStopTypeTest = 129,
  kStopTypeRaise = 130,
  kStopTypeAppend = 134
};
enum StopGapLine {
  kStopGapDef = 137,
  kStopGapCheck = 138,
  kStopGapTest = 139,
  kStopGapRaise = 140,
  kStopGapAppend = 144
};
enum IsCallableLine {
  kIsCallableDef = 147,
  kIsCallableCheck = 148,
  kIsCallableRaise = 150,
  kIsCallableAppend = 154
};
enum TrailingTypeLine {
  kTrailingTypeDef = 157,
  kTrailingTypeCheck = 158,
  kTrailingTypeTest = 159,
  kTrailingTypeRaise = 160,
  kTrailingTypeAppend = 164,
};
enum OderCtgLine {
  kOderCtgDef = 167,
  kOderCtgCheck = 168,
  kOderCtgTest = 169,
  kOderCtgRaise = 170,
  kOderCtgAppend = 174
};
enum OderActLine {
  kOderActDef = 177,
  kOderActCheck = 178,
  kOderActTest = 179,
  kOderActRaise = 180,
  kOderActAppend = 184
};

// What every closure of this file captures.
enum CheckSlot { kChecker };

struct Vocabulary {
  const HotName& constant;  // the checker attribute holding the valid words
  const FuncDef& factory;
  const FuncDef& check;
  int test_line, raise_line, append_line;
};

extern FuncDef check_stop_type, check_stop_gap, check_trailing_type, check_oder_ctg, check_oder_act;

const Vocabulary kStopType{n_STOP_TYPE,   member::is_stop_type, check_stop_type,
                           kStopTypeTest, kStopTypeRaise,       kStopTypeAppend};
const Vocabulary kStopGap{n_STOP_GAP,   member::is_stop_gap, check_stop_gap,
                          kStopGapTest, kStopGapRaise,       kStopGapAppend};
const Vocabulary kTrailingType{n_TRAILING_TYPE,   member::is_trailing_type, check_trailing_type,
                               kTrailingTypeTest, kTrailingTypeRaise,       kTrailingTypeAppend};
const Vocabulary kOderCtg{n_ORDER_CTG,  member::is_oder_ctg, check_oder_ctg,
                          kOderCtgTest, kOderCtgRaise,       kOderCtgAppend};
const Vocabulary kOderAct{n_ORDER_ACT,  member::is_oder_act, check_oder_act,
                          kOderActTest, kOderActRaise,       kOderActAppend};

// `value.lower() in self.<constant>` for a str value; 1, 0, or -1 with an error set.
int lowered_in_vocabulary(const Vocabulary& v, PyObject* self, PyObject* value) noexcept {
  if (trading::is_exact_ascii(value)) {
    // The built-in lower of a plain str runs no Python code, so reading the constant first is unseen.
    Ref words(read_attr(self, v.constant));
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
  Ref words(read_attr(self, v.constant));
  if (!words) return -1;
  return PySequence_Contains(words.get(), lowered.get());
}

PyObject* check_vocabulary(const Vocabulary& v, Func* f, PyObject* const* p) noexcept {
  PyObject* self = f->cap[kChecker];
  PyObject* func_name = p[0];
  PyObject* value = p[1];
  // Anything that is not a str fails here, before any operation is applied to it.
  if (PyUnicode_Check(value)) {
    const int found = lowered_in_vocabulary(v, self, value);
    if (found < 0) return error_at(v.check, v.test_line);
    if (found) Py_RETURN_NONE;
  }
  // The constant is read again for the message.
  return fail(v.check, v.raise_line, key::EXPECT_VALID,
              {func_name, MsgArg::arg_name(self), MsgArg::repr_of_attr(self, v.constant), value,
               MsgArg::type_of(value)});
}

PyObject* build_vocabulary(const Vocabulary& v, PyObject* self) noexcept {
  return add_rule(v.factory, v.append_line, v.check, {self});
}

FuncDef check_stop_type{
    "ArgumentChecker.is_stop_type.<locals>.check_stop_type",
    kStopTypeCheck,
    {"func_name", "value"},
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kStopType, f, p); }};
FuncDef check_stop_gap{
    "ArgumentChecker.is_stop_gap.<locals>.check_stop_gap",
    kStopGapCheck,
    {"func_name", "value"},
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kStopGap, f, p); }};
FuncDef check_trailing_type{
    "ArgumentChecker.is_trailing_type.<locals>.check_trailing_type",
    kTrailingTypeCheck,
    {"func_name", "value"},
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kTrailingType, f, p); }};
FuncDef check_oder_ctg{
    "ArgumentChecker.is_oder_ctg.<locals>.check_oder_ctg",
    kOderCtgCheck,
    {"func_name", "value"},
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kOderCtg, f, p); }};
FuncDef check_oder_act{
    "ArgumentChecker.is_oder_act.<locals>.check_oder_act",
    kOderActCheck,
    {"func_name", "value"},
    [](Func* f, PyObject* const* p, PyObject*) noexcept { return check_vocabulary(kOderAct, f, p); }};

// ---- the callable rule ------------------------------------------------------------------------------

extern FuncDef check_callable_type;

PyObject* check_callable_type_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* value = p[1];
  if (PyCallable_Check(value)) Py_RETURN_NONE;
  return fail_value(check_callable_type, kIsCallableRaise, key::EXPECT_FUNCTYPE, p[0], f->cap[kChecker],
                    value);
}

FuncDef check_callable_type{"ArgumentChecker.is_callable.<locals>.check_callable_type",
                            kIsCallableCheck,
                            {"func_name", "value"},
                            check_callable_type_body};

}  // namespace

// ---- the factories ----------------------------------------------------------------------------------

FuncDef member::is_stop_type{
    "ArgumentChecker.is_stop_type",
    kStopTypeDef,
    {"self"},
    [](Func*, PyObject* const* p, PyObject*) noexcept { return build_vocabulary(kStopType, p[0]); }};
FuncDef member::is_stop_gap{
    "ArgumentChecker.is_stop_gap", kStopGapDef, {"self"}, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build_vocabulary(kStopGap, p[0]);
    }};
FuncDef member::is_callable{"ArgumentChecker.is_callable",
                            kIsCallableDef,
                            {"self"},
                            [](Func*, PyObject* const* p, PyObject*) noexcept {
                              return add_rule(member::is_callable, kIsCallableAppend, check_callable_type,
                                              {p[0]});
                            }};
FuncDef member::is_trailing_type{
    "ArgumentChecker.is_trailing_type",
    kTrailingTypeDef,
    {"self"},
    [](Func*, PyObject* const* p, PyObject*) noexcept { return build_vocabulary(kTrailingType, p[0]); }};
FuncDef member::is_oder_ctg{
    "ArgumentChecker.is_oder_ctg", kOderCtgDef, {"self"}, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build_vocabulary(kOderCtg, p[0]);
    }};
FuncDef member::is_oder_act{
    "ArgumentChecker.is_oder_act", kOderActDef, {"self"}, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return build_vocabulary(kOderAct, p[0]);
    }};

}  // namespace ac
