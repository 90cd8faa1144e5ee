// Date and quarter rules: is_valid_date and is_valid_quarter.
//
// Both rules accept date objects as they are, treat strings specially and reject everything else.
// The date-like classes and `re` are module globals, read at every check. `strptime` and `re.match` are
// looked up as always; while they are the standard library's own, a string they would accept is
// recognised natively (dates/native_date.h), and every other string still goes to them.
#include "dates/native_date.h"
#include "module/members.h"
#include "rules/contract.h"
#include "runtime/compare.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/globals.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {
namespace {

Name n_date{"date"}, n_empty{""};
Name n_quarter_pattern{"\\d{4}q[1-4]"};

// `isinstance(value, (datetime.date, Timestamp, datetime.datetime))`: the three classes are all looked
// up first, then tested in that order. 1, 0, or -1 with an error set.
int is_date_like(PyObject* value) noexcept {
  Ref dt_mod(get_global(names::datetime));
  if (!dt_mod) return -1;
  Ref date_cls(PyObject_GetAttr(dt_mod.get(), n_date));
  if (!date_cls) return -1;
  Ref ts_cls(get_global(names::Timestamp));
  if (!ts_cls) return -1;
  dt_mod = Ref(get_global(names::datetime));
  if (!dt_mod) return -1;
  Ref datetime_cls(PyObject_GetAttr(dt_mod.get(), names::datetime));
  if (!datetime_cls) return -1;
  for (PyObject* cls : {date_cls.get(), ts_cls.get(), datetime_cls.get()}) {
    int r = PyObject_IsInstance(value, cls);
    if (r != 0) return r;
  }
  return 0;
}

// `allow_empty_str and value.strip() == ""`: strip is called only when the flag is true.
// 1, 0, or -1 with an error set.
int is_allowed_blank(PyObject* allow_empty_str, PyObject* value) noexcept {
  int allow = PyObject_IsTrue(allow_empty_str);
  if (allow <= 0) return allow;
  PyObject* argv[] = {value};
  Ref stripped(call_method(names::strip, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!stripped) return -1;
  return compare_truth(stripped.get(), n_empty, Py_EQ);
}

// The steps both rules begin with, each at the rule's own line: a date object passes; any other value
// that is not a str fails; a blank string passes where allowed. 1 when the value passed, 0 when the
// rule's own test of the string follows, -1 when it failed (the error set and the entry added).
struct FirstLines {
  int date_like, not_str, blank;
};
int first_steps(const FuncDef& rule, const FirstLines& at, PyObject* allow_empty_str, PyObject* func_name,
                PyObject* checker, PyObject* value) noexcept {
  const int date_like = is_date_like(value);
  if (date_like != 0) {
    if (date_like < 0) error_at(rule, at.date_like);
    return date_like;
  }
  if (!PyUnicode_Check(value)) {
    fail_value(rule, at.not_str, key::EXPECT_VALIDDATE2, func_name, checker, value);
    return -1;
  }
  const int blank = is_allowed_blank(allow_empty_str, value);
  if (blank < 0) error_at(rule, at.blank);
  return blank;
}

// ---- is_valid_quarter -------------------------------------------------------------------------------

// def is_valid_quarter(self, allow_empty_str=False):
//     def check_is_valid_quarter(func_name, value):
enum QuarterLine {
  kQuarterDef = 188,
  kQuarterCreate = 189,
  kQuarterDateLike = 190,
  kQuarterNotStr = 193,
  kQuarterBlank = 195,
  kQuarterMatch = 198,
  kQuarterNoMatch = 200,
  kQuarterHandler = 203,
  kQuarterAppend = 210,
};
// What check_is_valid_quarter captures.
enum QuarterSlot { kQuarterChecker, kQuarterAllowEmpty };

extern FuncDef check_quarter;

PyObject* check_quarter_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* checker = f->cap[kQuarterChecker];
  PyObject* func_name = p[0];
  PyObject* value = p[1];

  const int first = first_steps(check_quarter, {kQuarterDateLike, kQuarterNotStr, kQuarterBlank},
                                f->cap[kQuarterAllowEmpty], func_name, checker, value);
  if (first < 0) return nullptr;
  if (first) Py_RETURN_NONE;

  // try: the match, and the failure raised when there is none.
  auto attempt = [&]() -> PyObject* {
    Ref re_mod(get_global(names::re));
    if (!re_mod) return error_at(check_quarter, kQuarterMatch);
    Ref match(PyObject_GetAttr(re_mod.get(), names::match));
    if (!match) return error_at(check_quarter, kQuarterMatch);
    if (dates::quarter_matches(match.get(), value)) Py_RETURN_NONE;
    PyObject* argv[] = {n_quarter_pattern, value};
    Ref m(call(match.get(), argv, 2, nullptr));
    const int found = m ? PyObject_IsTrue(m.get()) : -1;
    if (found < 0) return error_at(check_quarter, kQuarterMatch);
    if (found) Py_RETURN_NONE;
    return fail(check_quarter, kQuarterNoMatch, key::QUARTER, {func_name, MsgArg::arg_name(checker), value});
  };
  if (PyObject* ok = attempt()) return ok;
  // except ValueError: the same failure again, with the ValueError as its context.
  Caught c;
  if (!c.matches(PyExc_ValueError)) return c.restore();
  return in_except(c, [&] {
    return fail(check_quarter, kQuarterHandler, key::QUARTER, {func_name, MsgArg::arg_name(checker), value});
  });
}

FuncDef check_quarter{"ArgumentChecker.is_valid_quarter.<locals>.check_is_valid_quarter",
                      kQuarterCreate,
                      {"func_name", "value"},
                      check_quarter_body};

PyObject* is_valid_quarter_body(Func*, PyObject* const* p, PyObject*) noexcept {
  return add_rule(member::is_valid_quarter, kQuarterAppend, check_quarter, {p[0], p[1]});
}

// ---- is_valid_date ----------------------------------------------------------------------------------

// def is_valid_date(self, timestamp=False, fmt="%Y-%m-%d", allow_empty_str=False):
//     def check_is_valid_date(func_name, value):
enum DateLine {
  kDateDef = 217,
  kDateCreate = 218,
  kDateDateLike = 219,
  kDateNotStr = 222,
  kDateBlank = 224,
  kDateTimestamp = 227,
  kDateParse = 229,
  kDateHandler = 231,
  kDateAppend = 236,
};
// What check_is_valid_date captures.
enum DateSlot { kDateChecker, kDateTimestampFlag, kDateFormat, kDateAllowEmpty };

extern FuncDef check_date;

PyObject* check_date_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* checker = f->cap[kDateChecker];
  PyObject* fmt = f->cap[kDateFormat];
  PyObject* func_name = p[0];
  PyObject* value = p[1];

  const int first = first_steps(check_date, {kDateDateLike, kDateNotStr, kDateBlank}, f->cap[kDateAllowEmpty],
                                func_name, checker, value);
  if (first < 0) return nullptr;
  if (first) Py_RETURN_NONE;

  // try: a timestamp string is taken as it is; anything else must parse with the captured format.
  auto attempt = [&]() -> PyObject* {
    const int timestamp = PyObject_IsTrue(f->cap[kDateTimestampFlag]);
    if (timestamp < 0) return error_at(check_date, kDateTimestamp);
    if (timestamp) Py_RETURN_NONE;
    Ref dt_mod(get_global(names::datetime));
    Ref dt_cls(dt_mod ? PyObject_GetAttr(dt_mod.get(), names::datetime) : nullptr);
    Ref strptime(dt_cls ? PyObject_GetAttr(dt_cls.get(), names::strptime) : nullptr);
    Ref s(strptime ? PyObject_Str(value) : nullptr);
    if (!s) return error_at(check_date, kDateParse);
    if (dates::strptime_accepts(strptime.get(), s.get(), fmt)) Py_RETURN_NONE;
    PyObject* argv[] = {s.get(), fmt};
    Ref parsed(call(strptime.get(), argv, 2, nullptr));
    if (!parsed) return error_at(check_date, kDateParse);
    Py_RETURN_NONE;
  };
  if (PyObject* ok = attempt()) return ok;
  // except ValueError: the string is not a date in the format.
  Caught c;
  if (!c.matches(PyExc_ValueError)) return c.restore();
  return in_except(c, [&] {
    return fail_value(check_date, kDateHandler, key::EXPECT_VALIDDATE, func_name, checker, value);
  });
}

FuncDef check_date{"ArgumentChecker.is_valid_date.<locals>.check_is_valid_date",
                   kDateCreate,
                   {"func_name", "value"},
                   check_date_body};

PyObject* is_valid_date_body(Func*, PyObject* const* p, PyObject*) noexcept {
  return add_rule(member::is_valid_date, kDateAppend, check_date, {p[0], p[1], p[2], p[3]});
}

}  // namespace

FuncDef member::is_valid_quarter{"ArgumentChecker.is_valid_quarter",
                                 kQuarterDef,
                                 {"self", {"allow_empty_str", dflt::no}},
                                 is_valid_quarter_body};
FuncDef member::is_valid_date{
    "ArgumentChecker.is_valid_date",
    kDateDef,
    {"self", {"timestamp", dflt::no}, {"fmt", dflt::str("%Y-%m-%d")}, {"allow_empty_str", dflt::no}},
    is_valid_date_body};

}  // namespace ac
