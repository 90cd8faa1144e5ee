// Native answers for the date and quarter rules: `datetime.datetime.strptime` with the rules' default
// formats and `re.match` with the quarter pattern, given only where the answer is certainly the one the
// standard library would give and where nothing else could be observed.
//
// A rule still makes every lookup it makes today (the module global, the class, `strptime`, `str(value)`,
// `re`, `match`) and asks here only with the objects it found. The answer is native when those are the
// very objects the module found when it was loaded, the format is a default one and LC_TIME is "C" or
// "POSIX"; it is only ever "accepted". Everything else (another object, another format, another locale,
// a string the standard library would reject) is "ask the real function", so every error, its message
// and its context come from the standard library itself.
#pragma once
#include <Python.h>

namespace ac::dates {

struct Ymd {
  int year, month, day;
};

// `strptime(text, fmt)` accepts `text`, with `strptime` the object a rule looked up: true and the date in
// `*out` (when given) when the answer is certain, false when the real function must be called.
// Never fails, never runs Python code.
bool strptime_accepts(PyObject* strptime, PyObject* text, PyObject* fmt, Ymd* out = nullptr) noexcept;

// `datetime.datetime(y, m, d)` of the standard class, as strptime returns it (new reference, or null
// with an error set). Only after strptime_accepts() returned true.
PyObject* new_datetime(const Ymd& d) noexcept;

// `match(r"\d{4}q[1-4]", value)` is a match, with `match` the object a rule looked up: true when that is
// certain, false when the real function must be called. Never fails, never runs Python code.
bool quarter_matches(PyObject* match, PyObject* value) noexcept;

// The parsers alone, without the identity and locale conditions (the differential test reaches them
// only through the rules).
enum class Format { Other, Dashed, Compact };  // "%Y-%m-%d", "%Y%m%d"
Format classify_format(PyObject* fmt) noexcept;
bool parse_date(PyObject* text, Format f, Ymd* out) noexcept;
bool parse_quarter(PyObject* text) noexcept;

}  // namespace ac::dates
