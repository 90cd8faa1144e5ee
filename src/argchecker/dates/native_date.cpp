// The standard library's date and quarter parsing, for the rules' own formats, without its Python code.
//
// `strptime` with "%Y-%m-%d" or "%Y%m%d" matches the string with `_strptime`'s regular expression
//     (?P<Y>\d\d\d\d) - (?P<m>1[0-2]|0[1-9]|[1-9]) - (?P<d>3[0-1]|[1-2]\d|0[1-9]|[1-9]| [1-9])
// (without the dashes for the compact format; compiled with IGNORECASE, which changes nothing for
// digits, "-" and " "), takes the first match the regular expression engine finds, requires it to end
// where the string ends, converts the groups with `int()` and builds the date, which checks the
// calendar. `\d` is any Unicode decimal digit and `int()` takes each at its decimal value; the month
// and the day's other positions are ASCII. The parsers below follow the engine's order of alternatives
// and its backtracking exactly: a month alternative is given up only when nothing after it matches,
// while the day, which ends the pattern, is the first alternative that matches, however much of the
// string is left after it.
#include "dates/native_date.h"

#include <clocale>
#include <cstring>
#include <datetime.h>

#include "runtime/cache/cache.h"
#include "runtime/names.h"
#include "runtime/ready.h"
#include "runtime/ref.h"

namespace ac::dates {
namespace {

Name n_compile{"_compile"}, n_strptime_mod{"_strptime"}, n_strptime_datetime{"_strptime_datetime"};

// What the standard library's parsing consists of, as found when the module loaded. Everything null
// (and no native answer) when any of it was not the standard one then.
struct Standard {
  // datetime.datetime (the C type of the datetime C API) and the definition behind its `strptime`:
  // `datetime.datetime.strptime` makes a new bound method at every lookup, so the method is
  // recognised by its definition and the class it is bound to.
  Ref datetime_cls;
  PyMethodDef* strptime_def = nullptr;
  // What strptime then runs: the `_strptime` module (found in sys.modules at every call), its functions
  // `_strptime_datetime` and the `_strptime` that one calls, as they were.
  Snapshot strptime_reads;
  // re.match and the `_compile` it calls, as they were.
  Ref re_match;
  Snapshot re_reads;
};
Forever<Standard> g_datetime_std;

void forget_standard() noexcept {
  g_datetime_std->datetime_cls.reset();
  g_datetime_std->strptime_def = nullptr;
  g_datetime_std->strptime_reads.clear();
  g_datetime_std->re_match.reset();
  g_datetime_std->re_reads.clear();
}

// `dict[name]` is a Python function, added to `s` with its fields and the entry.
bool add_function_entry(Snapshot& s, PyObject* owner, PyObject* dict, PyObject* name) noexcept {
  PyObject* f = PyDict_GetItemWithError(dict, name);
  return f && PyFunction_Check(f) && s.add_entry(owner, dict, name) && s.add_function(f);
}

void remember_strptime(PyObject* module_dict) noexcept {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) return;
  Ref mod = Ref::borrow(PyDict_GetItemWithError(module_dict, names::datetime));
  if (!mod) return;
  Ref cls(PyObject_GetAttr(mod.get(), names::datetime));
  if (!cls || cls.get() != reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType)) return;
  Ref strptime(PyObject_GetAttr(cls.get(), names::strptime));
  if (!strptime || !PyCFunction_Check(strptime.get()) || PyCFunction_GET_SELF(strptime.get()) != cls.get())
    return;
  Ref module(PyImport_Import(n_strptime_mod));
  if (!module || !PyModule_Check(module.get())) return;
  PyObject* d = PyModule_GetDict(module.get());  // borrowed; the module holds it
  PyObject* runner = PyDict_GetItemWithError(d, n_strptime_datetime);
  Snapshot& s = g_datetime_std->strptime_reads;
  if (!s.add_entry(module.get(), PyImport_GetModuleDict(), n_strptime_mod) ||
      !add_function_entry(s, module.get(), d, n_strptime_datetime) ||
      !add_function_entry(s, module.get(), d, n_strptime_mod) || !runner ||
      PyFunction_GET_GLOBALS(runner) != d)
    return;
  s.seal();
  g_datetime_std->datetime_cls = std::move(cls);
  g_datetime_std->strptime_def = reinterpret_cast<PyCFunctionObject*>(strptime.get())->m_ml;
}

void remember_re_match(PyObject* module_dict) noexcept {
  Ref mod = Ref::borrow(PyDict_GetItemWithError(module_dict, names::re));
  if (!mod) return;
  Ref match(PyObject_GetAttr(mod.get(), names::match));
  if (!match) return;
  // The standard re, whatever the module global may have found first.
  Ref std_re(PyImport_ImportModule("re"));
  if (!std_re) return;
  Ref std_match(PyObject_GetAttr(std_re.get(), names::match));
  if (!std_match || match.get() != std_match.get() || !PyFunction_Check(match.get())) return;
  Snapshot& s = g_datetime_std->re_reads;
  PyObject* globals = PyFunction_GET_GLOBALS(match.get());
  if (!s.add_function(match.get()) || !add_function_entry(s, std_re.get(), globals, n_compile)) return;
  s.seal();
  g_datetime_std->re_match = std::move(match);
}

// Never fails the import: whatever is not the standard library's leaves the native answers off. Each
// step stops at its first error, which is cleared before the next one runs.
bool remember_standard(PyObject* module_dict) noexcept {
  forget_standard();
  remember_strptime(module_dict);
  PyErr_Clear();
  if (!g_datetime_std->strptime_def) g_datetime_std->strptime_reads.clear();
  remember_re_match(module_dict);
  PyErr_Clear();
  if (!g_datetime_std->re_match) g_datetime_std->re_reads.clear();
  return true;
}
ExecHook hook{remember_standard};

// strptime's own check of the locale (`locale.getlocale(LC_TIME)`) reads the same setting.
bool c_time_locale() noexcept {
  const char* name = std::setlocale(LC_TIME, nullptr);
  return name && (std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0);
}

// `strptime` is `datetime.datetime.strptime` of the standard class, and what it calls is unchanged.
bool is_standard_strptime(PyObject* strptime) noexcept {
  return g_datetime_std->strptime_def && PyCFunction_Check(strptime) &&
         reinterpret_cast<PyCFunctionObject*>(strptime)->m_ml == g_datetime_std->strptime_def &&
         PyCFunction_GET_SELF(strptime) == g_datetime_std->datetime_cls.get() &&
         g_datetime_std->strptime_reads.holds();
}

// ---- the parsers ------------------------------------------------------------------------------------

constexpr Py_UCS4 kEnd = 0x110000;  // past the string's end: no code point, matches nothing

class Text {
  int kind_;
  const void* data_;
  Py_ssize_t len_;

 public:
  explicit Text(PyObject* s) noexcept
      : kind_(PyUnicode_KIND(s)), data_(PyUnicode_DATA(s)), len_(PyUnicode_GET_LENGTH(s)) {}
  Py_ssize_t size() const noexcept { return len_; }
  Py_UCS4 operator[](Py_ssize_t i) const noexcept {
    return i < len_ ? PyUnicode_READ(kind_, data_, i) : kEnd;
  }
};

bool in(Py_UCS4 c, char lo, char hi) noexcept {
  return c >= Py_UCS4(lo) && c <= Py_UCS4(hi);
}

// `\d`: a Unicode decimal digit; its value as `int()` takes it, or -1.
int decimal(Py_UCS4 c) noexcept {
  if (c < 0x80) return in(c, '0', '9') ? int(c - '0') : -1;
  return c == kEnd ? -1 : Py_UNICODE_TODECIMAL(c);
}

// (?P<Y>\d\d\d\d) at 0. The year, or -1.
int year_at_start(const Text& t) noexcept {
  int y = 0;
  for (Py_ssize_t i = 0; i < 4; ++i) {
    int d = decimal(t[i]);
    if (d < 0) return -1;
    y = y * 10 + d;
  }
  return y;
}

// The alternatives of (?P<m>1[0-2]|0[1-9]|[1-9]) at `i`, in the engine's order: the two-character one
// (the first two cannot both match) in `*two`, the one-character one in `*one`; 0 where none matches.
void month_alternatives(const Text& t, Py_ssize_t i, int* two, int* one) noexcept {
  const Py_UCS4 a = t[i], b = t[i + 1];
  *two =
      (a == '1' && in(b, '0', '2')) || (a == '0' && in(b, '1', '9')) ? int(a - '0') * 10 + int(b - '0') : 0;
  *one = in(a, '1', '9') ? int(a - '0') : 0;
}

// (?P<d>3[0-1]|[1-2]\d|0[1-9]|[1-9]| [1-9]) at `i`: the first alternative that matches. Its length
// (0: none) and the day in `*day`.
int day_at(const Text& t, Py_ssize_t i, int* day) noexcept {
  const Py_UCS4 a = t[i], b = t[i + 1];
  if (a == '3' && in(b, '0', '1')) {
    *day = 30 + int(b - '0');
    return 2;
  }
  if (in(a, '1', '2')) {
    const int d = decimal(b);
    if (d >= 0) {
      *day = int(a - '0') * 10 + d;
      return 2;
    }
  }
  if (a == '0' && in(b, '1', '9')) {
    *day = int(b - '0');
    return 2;
  }
  if (in(a, '1', '9')) {
    *day = int(a - '0');
    return 1;
  }
  if (a == ' ' && in(b, '1', '9')) {
    *day = int(b - '0');
    return 2;
  }
  return 0;
}

bool valid_date(const Ymd& d) noexcept {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d.year < 1 || d.year > 9999 || d.month < 1 || d.month > 12 || d.day < 1) return false;
  const bool leap = d.year % 4 == 0 && (d.year % 100 != 0 || d.year % 400 == 0);
  return d.day <= (d.month == 2 && leap ? 29 : kDays[d.month - 1]);
}

// The first match of the whole pattern from the start, then: does it end where the string ends?
bool match_date(const Text& t, Format f, Ymd* out) noexcept {
  if (t.size() < (f == Format::Dashed ? 8 : 6) || t.size() > (f == Format::Dashed ? 10 : 8)) return false;
  const int year = year_at_start(t);
  if (year < 0) return false;
  Py_ssize_t i = 4;
  if (f == Format::Dashed && t[i++] != '-') return false;
  int two, one;
  month_alternatives(t, i, &two, &one);
  const int months[2] = {two, one};
  const Py_ssize_t lengths[2] = {2, 1};
  for (int k = 0; k < 2; ++k) {
    if (!months[k]) continue;
    Py_ssize_t j = i + lengths[k];
    if (f == Format::Dashed && t[j++] != '-') continue;
    int day;
    const int n = day_at(t, j, &day);
    if (!n) continue;
    // The engine has its match; strptime wants it to cover the string.
    if (j + n != t.size()) return false;
    *out = Ymd{year, months[k], day};
    return valid_date(*out);
  }
  return false;
}

}  // namespace

Format classify_format(PyObject* fmt) noexcept {
  // Exact str only: strptime looks a format up in its cache by hash and equality.
  if (!PyUnicode_CheckExact(fmt) || PyUnicode_KIND(fmt) != PyUnicode_1BYTE_KIND) return Format::Other;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(fmt);
  const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(fmt));
  if (n == 8 && std::memcmp(s, "%Y-%m-%d", 8) == 0) return Format::Dashed;
  if (n == 6 && std::memcmp(s, "%Y%m%d", 6) == 0) return Format::Compact;
  return Format::Other;
}

bool parse_date(PyObject* text, Format f, Ymd* out) noexcept {
  if (f == Format::Other || !PyUnicode_Check(text)) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text) < 0) {
    PyErr_Clear();
    return false;
  }
#endif
  Ymd d;
  if (!match_date(Text(text), f, &d)) return false;
  if (out) *out = d;
  return true;
}

bool parse_quarter(PyObject* text) noexcept {
  if (!PyUnicode_Check(text)) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text) < 0) {
    PyErr_Clear();
    return false;
  }
#endif
  const Text t(text);
  return year_at_start(t) >= 0 && t[4] == 'q' && in(t[5], '1', '4');
}

bool strptime_accepts(PyObject* strptime, PyObject* text, PyObject* fmt, Ymd* out) noexcept {
  // An exact str: strptime takes len() of what it is given, which a subclass may redefine.
  if (!PyUnicode_CheckExact(text)) return false;
  const Format f = classify_format(fmt);
  return f != Format::Other && is_standard_strptime(strptime) && c_time_locale() && parse_date(text, f, out);
}

PyObject* new_datetime(const Ymd& d) noexcept {
  return PyDateTimeAPI->DateTime_FromDateAndTime(d.year, d.month, d.day, 0, 0, 0, 0, Py_None,
                                                 PyDateTimeAPI->DateTimeType);
}

bool quarter_matches(PyObject* match, PyObject* value) noexcept {
  // The engine reads a str subclass's characters directly, so any str will do here.
  if (!g_datetime_std->re_match || match != g_datetime_std->re_match.get() ||
      !g_datetime_std->re_reads.holds())
    return false;
  return parse_quarter(value);
}

}  // namespace ac::dates
