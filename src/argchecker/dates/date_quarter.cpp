// Date and quarter rules: is_valid_date and is_valid_quarter.
//
// Both rules accept date objects as they are, treat strings specially and reject everything else.
// The date-like classes and `re` are module globals, read at every check. `strptime` and `re.match` are
// looked up as always; while they are the standard library's own, a string they would accept is
// recognised natively (dates/native_date.h), and every other string still goes to them.
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

Name n_date{"date"}, n_datetime{"datetime"}, n_strptime{"strptime"}, n_match{"match"}, n_empty{""};
Name n_quarter_pattern{"\\d{4}q[1-4]"};
Name k_validdate{"ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR"};
Name k_validdate2{"ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR2"};
Name k_quarter{"ARGCHECKER_INVALID_PARAM_QUARTER_ERROR"};

// `isinstance(value, (datetime.date, Timestamp, datetime.datetime))`: the three classes are all looked
// up first, then tested in that order. 1, 0, or -1 with an error set.
int is_date_like(PyObject* value) noexcept {
  Ref dt_mod(get_global(names::g_datetime));
  if (!dt_mod) return -1;
  Ref date_cls(PyObject_GetAttr(dt_mod.get(), n_date));
  if (!date_cls) return -1;
  Ref ts_cls(get_global(names::g_Timestamp));
  if (!ts_cls) return -1;
  dt_mod = Ref(get_global(names::g_datetime));
  if (!dt_mod) return -1;
  Ref datetime_cls(PyObject_GetAttr(dt_mod.get(), n_datetime));
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
  Ref stripped(PyObject_VectorcallMethod(names::strip, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!stripped) return -1;
  return compare_truth(stripped.get(), n_empty, Py_EQ);
}

// ---- is_valid_quarter -------------------------------------------------------------------------------

const char kQuarter[] = "tframe.utils.argchecker.ArgumentChecker.is_valid_quarter";
const char kCheckQuarter[] = "tframe.utils.argchecker.ArgumentChecker.is_valid_quarter.check_is_valid_quarter";
constexpr int kQuarterDef = 188;
constexpr int kQuarterCreate = 189;
constexpr int kQuarterDateLike = 190;
constexpr int kQuarterNotStr = 193;
constexpr int kQuarterBlank = 195;
constexpr int kQuarterMatch = 198;
constexpr int kQuarterNoMatch = 200;
constexpr int kQuarterHandler = 203;
constexpr int kQuarterAppend = 210;

// cap[0]: the checker, cap[1]: allow_empty_str.
PyObject* check_quarter_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* checker = f->cap[0];
  // Owned for the call: a parameter may come from __defaults__, which Python code run below may replace.
  const Ref func_name_ref = Ref::borrow(p[0]), value_ref = Ref::borrow(p[1]);
  PyObject* func_name = func_name_ref.get();
  PyObject* value = value_ref.get();
  auto fill = [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(checker, names::arg_name) && a.add_borrowed(value);
  };

  int r = is_date_like(value);
  if (r < 0) return tb_error(kCheckQuarter, kQuarterDateLike);
  if (r) Py_RETURN_NONE;
  if (!PyUnicode_Check(value)) {
    raise_failure(k_validdate2, [&](FmtArgs& a) { return fill(a) && a.add_type_of(value); });
    return tb_error(kCheckQuarter, kQuarterNotStr);
  }
  r = is_allowed_blank(f->cap[1], value);
  if (r < 0) return tb_error(kCheckQuarter, kQuarterBlank);
  if (r) Py_RETURN_NONE;

  // try: the match, and the failure raised when there is none.
  int line = kQuarterMatch;
  {
    Ref re_mod(get_global(names::g_re));
    Ref match(re_mod ? PyObject_GetAttr(re_mod.get(), n_match) : nullptr);
    if (match) {
      if (dates::quarter_matches(match.get(), value)) Py_RETURN_NONE;
      PyObject* argv[] = {n_quarter_pattern, value};
      Ref m(PyObject_Vectorcall(match.get(), argv, 2, nullptr));
      if (m) {
        r = PyObject_IsTrue(m.get());
        if (r > 0) Py_RETURN_NONE;
        if (r == 0) {
          line = kQuarterNoMatch;
          raise_failure(k_quarter, fill);
        }
      }
    }
  }
  add_traceback(kCheckQuarter, line);
  // except ValueError: the same failure again, with the ValueError as its context.
  Caught c;
  if (!c.matches(PyExc_ValueError)) return c.restore();
  in_except(c, [&] { return raise_failure(k_quarter, fill); });
  return tb_error(kCheckQuarter, kQuarterHandler);
}

FuncSpec check_quarter_spec{"check_is_valid_quarter", "ArgumentChecker.is_valid_quarter.<locals>.check_is_valid_quarter",
                            kCheckQuarter, kQuarterCreate, Style::Params, {"func_name", "value"}, false,
                            check_quarter_body};

PyObject* is_valid_quarter_body(Func*, PyObject* const* p, PyObject*) noexcept {
  // Owned: creating the closure may collect garbage, and finish_factory runs Python code.
  const Ref self = Ref::borrow(p[0]), allow_empty_str = Ref::borrow(p[1]);
  return finish_factory(self.get(), Ref(make_function(check_quarter_spec, {self.get(), allow_empty_str.get()})),
                        kQuarter, kQuarterCreate, kQuarterAppend);
}

FuncSpec is_valid_quarter_spec{"is_valid_quarter", "ArgumentChecker.is_valid_quarter", kQuarter, kQuarterDef,
                               Style::Params, {"self", "allow_empty_str"}, false, is_valid_quarter_body};

// ---- is_valid_date ----------------------------------------------------------------------------------

const char kDate[] = "tframe.utils.argchecker.ArgumentChecker.is_valid_date";
const char kCheckDate[] = "tframe.utils.argchecker.ArgumentChecker.is_valid_date.check_is_valid_date";
constexpr int kDateDef = 217;
constexpr int kDateCreate = 218;
constexpr int kDateDateLike = 219;
constexpr int kDateNotStr = 222;
constexpr int kDateBlank = 224;
constexpr int kDateTimestamp = 227;
constexpr int kDateParse = 229;
constexpr int kDateHandler = 231;
constexpr int kDateAppend = 236;

// cap[0]: the checker, cap[1]: timestamp, cap[2]: fmt, cap[3]: allow_empty_str.
PyObject* check_date_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* checker = f->cap[0];
  // Owned for the call: a parameter may come from __defaults__, which Python code run below may replace.
  const Ref func_name_ref = Ref::borrow(p[0]), value_ref = Ref::borrow(p[1]);
  PyObject* func_name = func_name_ref.get();
  PyObject* value = value_ref.get();
  auto fill = [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(checker, names::arg_name) && a.add_borrowed(value) &&
           a.add_type_of(value);
  };

  int r = is_date_like(value);
  if (r < 0) return tb_error(kCheckDate, kDateDateLike);
  if (r) Py_RETURN_NONE;
  if (!PyUnicode_Check(value)) {
    raise_failure(k_validdate2, fill);
    return tb_error(kCheckDate, kDateNotStr);
  }
  r = is_allowed_blank(f->cap[3], value);
  if (r < 0) return tb_error(kCheckDate, kDateBlank);
  if (r) Py_RETURN_NONE;

  // try: a timestamp string is taken as it is; anything else must parse with the captured format.
  int line = kDateTimestamp;
  r = PyObject_IsTrue(f->cap[1]);
  if (r > 0) Py_RETURN_NONE;
  if (r == 0) {
    line = kDateParse;
    Ref dt_mod(get_global(names::g_datetime));
    Ref dt_cls(dt_mod ? PyObject_GetAttr(dt_mod.get(), n_datetime) : nullptr);
    Ref strptime(dt_cls ? PyObject_GetAttr(dt_cls.get(), n_strptime) : nullptr);
    Ref s(strptime ? PyObject_Str(value) : nullptr);
    if (s) {
      if (dates::strptime_accepts(strptime.get(), s.get(), f->cap[2])) Py_RETURN_NONE;
      PyObject* argv[] = {s.get(), f->cap[2]};
      Ref parsed(PyObject_Vectorcall(strptime.get(), argv, 2, nullptr));
      if (parsed) Py_RETURN_NONE;
    }
  }
  add_traceback(kCheckDate, line);
  // except ValueError: the string is not a date in the format.
  Caught c;
  if (!c.matches(PyExc_ValueError)) return c.restore();
  in_except(c, [&] { return raise_failure(k_validdate, fill); });
  return tb_error(kCheckDate, kDateHandler);
}

FuncSpec check_date_spec{"check_is_valid_date", "ArgumentChecker.is_valid_date.<locals>.check_is_valid_date",
                         kCheckDate, kDateCreate, Style::Params, {"func_name", "value"}, false, check_date_body};

PyObject* is_valid_date_body(Func*, PyObject* const* p, PyObject*) noexcept {
  // Owned: creating the closure may collect garbage, and finish_factory runs Python code.
  const Ref self = Ref::borrow(p[0]), timestamp = Ref::borrow(p[1]), fmt = Ref::borrow(p[2]),
            allow_empty_str = Ref::borrow(p[3]);
  return finish_factory(
      self.get(), Ref(make_function(check_date_spec, {self.get(), timestamp.get(), fmt.get(), allow_empty_str.get()})),
      kDate, kDateCreate, kDateAppend);
}

FuncSpec is_valid_date_spec{"is_valid_date", "ArgumentChecker.is_valid_date", kDate, kDateDef, Style::Params,
                            {"self", "timestamp", "fmt", "allow_empty_str"}, false, is_valid_date_body};

MemberRegistrar reg_is_valid_quarter{Member{17, "is_valid_quarter", Kind::Plain, &is_valid_quarter_spec,
                                            kQuarterDef, 0,
                                            +[]() -> PyObject* { return Py_BuildValue("(O)", Py_False); }}};
MemberRegistrar reg_is_valid_date{Member{18, "is_valid_date", Kind::Plain, &is_valid_date_spec, kDateDef, 0,
                                         +[]() -> PyObject* {
                                           return Py_BuildValue("(OsO)", Py_False, "%Y-%m-%d", Py_False);
                                         }}};

}  // namespace
}  // namespace ac
