// Checks against the present moment: is_future_date and the class method check_begin_end_date.
// The present is `datetime.datetime.now()`, the naive local time, taken anew at every check. The date
// is parsed natively while `strptime` is the standard library's own (dates/native_date.h).
#include "dates/native_date.h"
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

Name n_datetime{"datetime"}, n_strptime{"strptime"}, n_now{"now"}, n_compact_format{"%Y%m%d"};
Name k_validint{"ARGCHECKER_INVALID_PARAM_EXPECT_VALIDINT_ERROR"};
Name k_future{"ARGCHECKER_INVALID_PARAM_FUTURE_DATE_ERROR"};
Name k_daterange{"ARGCHECKER_INVALID_PARAM_DATERANGE_ERROR"};
Name k_expectdate{"ARGCHECKER_INVALID_PARAM_EXPECTDATE_ERROR"};

// The class `datetime.datetime`, through the module global `datetime`. New reference or null.
PyObject* datetime_class() noexcept {
  Ref mod(get_global(names::g_datetime));
  if (!mod) return nullptr;
  return PyObject_GetAttr(mod.get(), n_datetime);
}

// `datetime.datetime.now()`. New reference or null.
PyObject* now() noexcept {
  Ref cls(datetime_class());
  if (!cls) return nullptr;
  PyObject* argv[] = {cls.get()};
  return PyObject_VectorcallMethod(n_now, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---- is_future_date ---------------------------------------------------------------------------------

const char kFuture[] = "tframe.utils.argchecker.ArgumentChecker.is_future_date";
const char kCheckFuture[] = "tframe.utils.argchecker.ArgumentChecker.is_future_date.check_future_date";
constexpr int kFutureDef = 240;
constexpr int kFutureCreate = 241;
constexpr int kFutureType = 244;
constexpr int kFutureZero = 246;
constexpr int kFutureParse = 248;
constexpr int kFutureCompare = 249;
constexpr int kFutureAfterNow = 250;
constexpr int kFutureHandler = 256;
constexpr int kFutureAppend = 259;

// The guarded part of the rule: 1 when the value is accepted, -1 with an error set otherwise, `*line`
// then naming the failing statement.
template <class Fill>
int future_date_accepts(PyObject* value, Fill& fill, int* line) noexcept {
  *line = kFutureType;
  if (!PyLong_Check(value) && !PyUnicode_Check(value)) {
    raise_failure(k_validint, fill);
    return -1;
  }
  // Integer zero (and False) means "no date".
  *line = kFutureZero;
  Ref zero(PyLong_FromLong(0));
  if (!zero) return -1;
  int r = compare_truth(value, zero.get(), Py_EQ);
  if (r) return r;

  *line = kFutureParse;
  Ref cls(datetime_class());
  if (!cls) return -1;
  Ref strptime(PyObject_GetAttr(cls.get(), n_strptime));
  if (!strptime) return -1;
  Ref s(PyObject_Str(value));
  if (!s) return -1;
  dates::Ymd ymd;
  Ref dt;
  if (dates::strptime_accepts(strptime.get(), s.get(), n_compact_format, &ymd)) {
    dt.reset(dates::new_datetime(ymd));
  } else {
    PyObject* argv[] = {s.get(), n_compact_format};
    dt.reset(PyObject_Vectorcall(strptime.get(), argv, 2, nullptr));
  }
  if (!dt) return -1;

  *line = kFutureCompare;
  Ref present(now());
  if (!present) return -1;
  r = compare_truth(dt.get(), present.get(), Py_GT);
  if (r <= 0) return r < 0 ? -1 : 1;
  *line = kFutureAfterNow;
  raise_failure(k_future, [&](FmtArgs& a) { return a.add_borrowed(value); });
  return -1;
}

// cap[0]: the checker.
PyObject* check_future_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* checker = f->cap[0];
  // Owned for the call: a parameter may come from __defaults__, which Python code run below may replace.
  const Ref func_name_ref = Ref::borrow(p[0]), value_ref = Ref::borrow(p[1]);
  PyObject* func_name = func_name_ref.get();
  PyObject* value = value_ref.get();
  auto fill = [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(checker, names::arg_name) && a.add_borrowed(value) &&
           a.add_type_of(value);
  };

  int line;
  if (future_date_accepts(value, fill, &line) > 0) Py_RETURN_NONE;
  add_traceback(kCheckFuture, line);

  // except ValueError: a value that is not a date in the format. This rule's own failures pass on as
  // they were raised, even when the host's InvalidParamError is itself a ValueError: a date after now
  // must not be reported as a malformed one.
  Caught c;
  if (!c.matches(PyExc_ValueError)) return c.restore();
  int own = 0;
  in_except(c, [&]() -> PyObject* {
    Ref cls(get_global(names::g_InvalidParamError));
    if (!cls) return nullptr;
    own = PyObject_IsInstance(c.value(), cls.get());
    if (own != 0) return nullptr;
    return raise_failure(k_validint, fill);
  });
  if (own > 0) return c.restore();
  return tb_error(kCheckFuture, kFutureHandler);
}

FuncSpec check_future_spec{"check_future_date", "ArgumentChecker.is_future_date.<locals>.check_future_date",
                           kCheckFuture, kFutureCreate, Style::Params, {"func_name", "value"}, false,
                           check_future_body};

PyObject* is_future_date_body(Func*, PyObject* const* p, PyObject*) noexcept {
  return finish_factory(p[0], Ref(make_function(check_future_spec, {p[0]})), kFuture, kFutureCreate,
                        kFutureAppend);
}

FuncSpec is_future_date_spec{"is_future_date", "ArgumentChecker.is_future_date", kFuture, kFutureDef, Style::Single,
                             {"self"}, false, is_future_date_body};

// ---- check_begin_end_date ---------------------------------------------------------------------------

const char kBeginEnd[] = "tframe.utils.argchecker.ArgumentChecker.check_begin_end_date";
constexpr int kBeginEndWrap = 356;
constexpr int kBeginEndDef = 357;
constexpr int kBeginEndBegin = 358;
constexpr int kBeginEndEnd = 359;
constexpr int kBeginEndMin = 360;
constexpr int kBeginEndNow = 361;
constexpr int kBeginEndInRange = 362;
constexpr int kBeginEndOrder = 363;
constexpr int kBeginEndRangeError = 364;
constexpr int kBeginEndOutOfRange = 366;

// `to_datetime(value)` through the module global.
PyObject* convert(PyObject* value) noexcept {
  Ref to_datetime(get_global(names::g_to_datetime));
  if (!to_datetime) return nullptr;
  return PyObject_Vectorcall(to_datetime.get(), &value, 1, nullptr);
}

// `raise ValueError(text.DATERANGE.format(_b, _e))`. Returns null.
PyObject* raise_range_error(PyObject* b, PyObject* e) noexcept {
  Ref txt(get_global(names::g_text));
  if (!txt) return nullptr;
  Ref tpl(PyObject_GetAttr(txt.get(), k_daterange));
  if (!tpl) return nullptr;
  PyObject* argv[] = {tpl.get(), b, e};
  Ref msg(PyObject_VectorcallMethod(names::format, argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!msg) return nullptr;
  return raise_with_message(PyExc_ValueError, msg.get());
}

// `raise ValueError(text.EXPECTDATE)`: the text is a finished message. Returns null.
PyObject* raise_out_of_range() noexcept {
  Ref txt(get_global(names::g_text));
  if (!txt) return nullptr;
  Ref msg(PyObject_GetAttr(txt.get(), k_expectdate));
  if (!msg) return nullptr;
  return raise_with_message(PyExc_ValueError, msg.get());
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
  // Owned for the call: a parameter may come from __defaults__, which the conversions may replace.
  const Ref begin = Ref::borrow(p[1]), end = Ref::borrow(p[2]);
  Ref b(convert(begin.get()));
  if (!b) return tb_error(kBeginEnd, kBeginEndBegin);
  Ref e(convert(end.get()));
  if (!e) return tb_error(kBeginEnd, kBeginEndEnd);

  Ref cls(datetime_class());
  Ref min_time(cls ? PyObject_CallFunction(cls.get(), "iii", 1900, 1, 1) : nullptr);
  if (!min_time) return tb_error(kBeginEnd, kBeginEndMin);
  Ref now_time(now());
  if (!now_time) return tb_error(kBeginEnd, kBeginEndNow);

  int r = both_in_range(min_time.get(), b.get(), e.get(), now_time.get());
  if (r < 0) return tb_error(kBeginEnd, kBeginEndInRange);
  if (r == 0) {
    raise_out_of_range();
    return tb_error(kBeginEnd, kBeginEndOutOfRange);
  }
  r = compare_truth(b.get(), e.get(), Py_GT);
  if (r < 0) return tb_error(kBeginEnd, kBeginEndOrder);
  if (r) {
    raise_range_error(b.get(), e.get());
    return tb_error(kBeginEnd, kBeginEndRangeError);
  }
  Py_RETURN_NONE;
}

FuncSpec check_begin_end_spec{"check_begin_end_date", "ArgumentChecker.check_begin_end_date", kBeginEnd,
                              kBeginEndDef, Style::Params, {"cls", "begin", "end"}, false, check_begin_end_body};

MemberRegistrar reg_is_future_date{Member{19, "is_future_date", Kind::Plain, &is_future_date_spec, kFutureDef, 0}};
MemberRegistrar reg_check_begin_end_date{
    Member{32, "check_begin_end_date", Kind::Class, &check_begin_end_spec, kBeginEndDef, kBeginEndWrap}};

}  // namespace
}  // namespace ac
