// Checks against the present moment: is_future_date and the class method check_begin_end_date.
// The present is `datetime.datetime.now()`, the naive local time, taken anew at every check. The date
// is parsed natively while `strptime` is the standard library's own (dates/native_date.h).
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

Name n_now{"now"}, n_compact_format{"%Y%m%d"};

// The class `datetime.datetime`, through the module global `datetime`. New reference or null.
PyObject* datetime_class() noexcept {
  Ref mod(get_global(names::datetime));
  if (!mod) return nullptr;
  return PyObject_GetAttr(mod.get(), names::datetime);
}

// `datetime.datetime.now()`. New reference or null.
PyObject* now() noexcept {
  Ref cls(datetime_class());
  if (!cls) return nullptr;
  PyObject* argv[] = {cls.get()};
  return call_method(n_now, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---- is_future_date ---------------------------------------------------------------------------------

// def is_future_date(self):
//     def check_future_date(func_name, value):
enum FutureLine {
  kFutureDef = 240,
  kFutureCreate = 241,
  kFutureType = 244,
  kFutureZero = 246,
  kFutureParse = 248,
  kFutureCompare = 249,
  kFutureAfterNow = 250,
  kFutureHandler = 256,
  kFutureAppend = 259,
};
// What check_future_date captures.
enum FutureSlot { kFutureChecker };

extern FuncDef check_future;

// The guarded part of the rule (the `try` block): None when the value is accepted, null with an error
// set and the traceback entry added otherwise.
PyObject* future_date_attempt(PyObject* func_name, PyObject* checker, PyObject* value) noexcept {
  if (!PyLong_Check(value) && !PyUnicode_Check(value))
    return fail_value(check_future, kFutureType, key::EXPECT_VALIDINT, func_name, checker, value);
  // Integer zero (and False) means "no date".
  Ref zero(PyLong_FromLong(0));
  const int is_zero = zero ? compare_truth(value, zero.get(), Py_EQ) : -1;
  if (is_zero < 0) return error_at(check_future, kFutureZero);
  if (is_zero) Py_RETURN_NONE;

  Ref cls(datetime_class());
  Ref strptime(cls ? PyObject_GetAttr(cls.get(), names::strptime) : nullptr);
  Ref s(strptime ? PyObject_Str(value) : nullptr);
  if (!s) return error_at(check_future, kFutureParse);
  dates::Ymd ymd;
  Ref dt;
  if (dates::strptime_accepts(strptime.get(), s.get(), n_compact_format, &ymd)) {
    dt.reset(dates::new_datetime(ymd));
  } else {
    PyObject* argv[] = {s.get(), n_compact_format};
    dt.reset(call(strptime.get(), argv, 2, nullptr));
  }
  if (!dt) return error_at(check_future, kFutureParse);

  Ref present(now());
  const int after = present ? compare_truth(dt.get(), present.get(), Py_GT) : -1;
  if (after < 0) return error_at(check_future, kFutureCompare);
  if (!after) Py_RETURN_NONE;
  return fail(check_future, kFutureAfterNow, key::FUTURE_DATE, {value});
}

PyObject* check_future_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* checker = f->cap[kFutureChecker];
  PyObject* func_name = p[0];
  PyObject* value = p[1];
  if (PyObject* ok = future_date_attempt(func_name, checker, value)) return ok;

  // except ValueError: a value that is not a date in the format. This rule's own failures pass on as
  // they were raised, even when the host's InvalidParamError is itself a ValueError: a date after now
  // must not be reported as a malformed one.
  Caught c;
  if (!c.matches(PyExc_ValueError)) return c.restore();
  int own = 0;
  PyObject* r = in_except(c, [&]() -> PyObject* {
    Ref cls(get_global(names::InvalidParamError));
    if (!cls) return error_at(check_future, kFutureHandler);
    own = PyObject_IsInstance(c.value(), cls.get());
    if (own != 0) return own < 0 ? error_at(check_future, kFutureHandler) : nullptr;
    return fail_value(check_future, kFutureHandler, key::EXPECT_VALIDINT, func_name, checker, value);
  });
  if (own > 0) return c.restore();
  return r;
}

FuncDef check_future{"ArgumentChecker.is_future_date.<locals>.check_future_date",
                     kFutureCreate,
                     {"func_name", "value"},
                     check_future_body};

PyObject* is_future_date_body(Func*, PyObject* const* p, PyObject*) noexcept {
  return add_rule(member::is_future_date, kFutureAppend, check_future, {p[0]});
}

// ---- check_begin_end_date ---------------------------------------------------------------------------

// @classmethod
// def check_begin_end_date(cls, begin, end):
enum BeginEndLine {
  kBeginEndDef = 357,
  kBeginEndBegin = 358,
  kBeginEndEnd = 359,
  kBeginEndMin = 360,
  kBeginEndNow = 361,
  kBeginEndInRange = 362,
  kBeginEndOrder = 363,
  kBeginEndRangeError = 364,
  kBeginEndOutOfRange = 366,
};

// `to_datetime(value)` through the module global.
PyObject* convert(PyObject* value) noexcept {
  Ref to_datetime(get_global(names::to_datetime));
  if (!to_datetime) return nullptr;
  return call(to_datetime.get(), &value, 1, nullptr);
}

// 1 when min_time < b < now_time and min_time < e < now_time (four comparisons, short-circuit),
// 0 when not, -1 with an error set.
int both_in_range(PyObject* min_time, PyObject* b, PyObject* e, PyObject* now_time) noexcept {
  PyObject* const steps[4][2] = {{min_time, b}, {b, now_time}, {min_time, e}, {e, now_time}};
  for (const auto& s : steps) {
    int r = compare_truth(s[0], s[1], Py_LT);
    if (r <= 0) return r;
  }
  return 1;
}

PyObject* check_begin_end_body(Func*, PyObject* const* p, PyObject*) noexcept {
  const FuncDef& def = member::check_begin_end_date;
  Ref b(convert(p[1]));
  if (!b) return error_at(def, kBeginEndBegin);
  Ref e(convert(p[2]));
  if (!e) return error_at(def, kBeginEndEnd);

  Ref cls(datetime_class());
  Ref min_time(cls ? PyObject_CallFunction(cls.get(), "iii", 1900, 1, 1) : nullptr);
  if (!min_time) return error_at(def, kBeginEndMin);
  Ref now_time(now());
  if (!now_time) return error_at(def, kBeginEndNow);

  int r = both_in_range(min_time.get(), b.get(), e.get(), now_time.get());
  if (r < 0) return error_at(def, kBeginEndInRange);
  if (r == 0) return fail_text(def, kBeginEndOutOfRange, key::EXPECTDATE, PyExc_ValueError);
  r = compare_truth(b.get(), e.get(), Py_GT);
  if (r < 0) return error_at(def, kBeginEndOrder);
  if (r) return fail_value_error(def, kBeginEndRangeError, key::DATERANGE, {b.get(), e.get()});
  Py_RETURN_NONE;
}

}  // namespace

FuncDef member::is_future_date{"ArgumentChecker.is_future_date", kFutureDef, {"self"}, is_future_date_body};
FuncDef member::check_begin_end_date{
    "ArgumentChecker.check_begin_end_date", kBeginEndDef, {"cls", "begin", "end"}, check_begin_end_body};

}  // namespace ac
