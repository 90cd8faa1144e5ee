// Frequency names and fq codes. These rules are bound methods of the checker rather than closures: the
// factories append `self._is_valid_frequency` / `self._is_valid_fq`, so a subclass override is the one
// that runs.
#include <Python.h>

#include "module/members.h"
#include "rules/contract.h"
#include "runtime/cache/cache.h"
#include "runtime/compare.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {
namespace {

HotName n_FREQUENCY{"FREQUENCY"};
Name n_is_valid_frequency{"_is_valid_frequency"}, n_is_valid_fq{"_is_valid_fq"};

// def _is_valid_frequency(self, func_name, value):
enum ValidFrequencyLine {
  kValidFrequencyDef = 306,
  kValidFrequencyTest = 307,  // isinstance(value, str) and value in self.FREQUENCY
  kValidFrequencyRaise = 309,
};
// def is_valid_frequency(self):
//     self.rules.append(self._is_valid_frequency)
enum IsValidFrequencyLine { kIsValidFrequencyDef = 315, kIsValidFrequencyAppend = 316 };
// def _is_valid_fq(self, func_name, value):
enum ValidFqLine {
  kValidFqDef = 319,
  kValidFqTest = 320,  // isinstance(value, int) and value == 0 / 1 / 2
  kValidFqRaise = 322,
};
// def is_valid_fq(self):
//     self.rules.append(self._is_valid_fq)
enum IsValidFqLine { kIsValidFqDef = 327, kIsValidFqAppend = 328 };

PyObject* valid_frequency(Func*, PyObject* const* p, PyObject*) noexcept {
  const auto [self, func_name, value] = params<3>(p);
  int valid = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (valid > 0) {
    Ref freq(read_attr(self, n_FREQUENCY));
    valid = freq ? PySequence_Contains(freq.get(), value) : -1;
  }
  if (valid < 0) return error_at(member::is_valid_frequency_worker, kValidFrequencyTest);
  if (valid) Py_RETURN_NONE;
  return fail(
      member::is_valid_frequency_worker, kValidFrequencyRaise, key::EXPECT_FREQUENCY,
      {func_name, MsgArg::arg_name(self), MsgArg::attr(self, n_FREQUENCY), value, MsgArg::type_of(value)});
}

// `value == 0 or value == 1 or value == 2`, in that order; 1, 0, or -1 with an error set.
int is_fq_code(PyObject* value) noexcept {
  if (PyLong_CheckExact(value) || PyBool_Check(value)) {
    // The built-in int equality runs no Python code.
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    return !overflow && v >= 0 && v <= 2;
  }
  for (long code = 0; code <= 2; ++code) {
    Ref c(PyLong_FromLong(code));
    if (!c) return -1;
    const int truth = compare_truth(value, c.get(), Py_EQ);
    if (truth != 0) return truth;
  }
  return 0;
}

PyObject* valid_fq(Func*, PyObject* const* p, PyObject*) noexcept {
  const auto [self, func_name, value] = params<3>(p);
  int valid = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyLong_Type));
  if (valid > 0) valid = is_fq_code(value);
  if (valid < 0) return error_at(member::is_valid_fq_worker, kValidFqTest);
  if (valid) Py_RETURN_NONE;
  return fail_value(member::is_valid_fq_worker, kValidFqRaise, key::EXPECT_FQ, func_name, self, value);
}

}  // namespace

FuncDef member::is_valid_frequency_worker{"ArgumentChecker._is_valid_frequency",
                                          kValidFrequencyDef,
                                          {"self", "func_name", "value"},
                                          valid_frequency};
FuncDef member::is_valid_frequency{"ArgumentChecker.is_valid_frequency",
                                   kIsValidFrequencyDef,
                                   {"self"},
                                   [](Func*, PyObject* const* p, PyObject*) noexcept {
                                     return append_method(member::is_valid_frequency, kIsValidFrequencyAppend,
                                                          p[0], n_is_valid_frequency);
                                   }};
FuncDef member::is_valid_fq_worker{
    "ArgumentChecker._is_valid_fq", kValidFqDef, {"self", "func_name", "value"}, valid_fq};
FuncDef member::is_valid_fq{"ArgumentChecker.is_valid_fq",
                            kIsValidFqDef,
                            {"self"},
                            [](Func*, PyObject* const* p, PyObject*) noexcept {
                              return append_method(member::is_valid_fq, kIsValidFqAppend, p[0],
                                                   n_is_valid_fq);
                            }};

}  // namespace ac
