// Frequency names and fq codes. These rules are bound methods of the checker rather than closures: the
// factories append `self._is_valid_frequency` / `self._is_valid_fq`, so a subclass override is the one
// that runs.
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

Name n_FREQUENCY{"FREQUENCY"};
Name n_is_valid_frequency{"_is_valid_frequency"}, n_is_valid_fq{"_is_valid_fq"};
Name n_EXPECT_FREQUENCY{"ARGCHECKER_INVALID_PARAM_EXPECT_FREQUENCY_ERROR"};
Name n_EXPECT_FQ{"ARGCHECKER_INVALID_PARAM_EXPECT_FQ_ERROR"};

const char kValidFrequency[] = "tframe.utils.argchecker.ArgumentChecker._is_valid_frequency";
const char kIsValidFrequency[] = "tframe.utils.argchecker.ArgumentChecker.is_valid_frequency";
const char kValidFq[] = "tframe.utils.argchecker.ArgumentChecker._is_valid_fq";
const char kIsValidFq[] = "tframe.utils.argchecker.ArgumentChecker.is_valid_fq";

constexpr int kValidFrequencyDef = 306;
constexpr int kValidFrequencyTest = 307;   // isinstance(value, str) and value in self.FREQUENCY
constexpr int kValidFrequencyRaise = 309;
constexpr int kIsValidFrequencyDef = 315;
constexpr int kIsValidFrequencyAppend = 316;
constexpr int kValidFqDef = 319;
constexpr int kValidFqTest = 320;          // isinstance(value, int) and value == 0 / 1 / 2
constexpr int kValidFqRaise = 322;
constexpr int kIsValidFqDef = 327;
constexpr int kIsValidFqAppend = 328;

PyObject* valid_frequency(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  PyObject* func_name = p[1];
  PyObject* value = p[2];
  int valid = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (valid > 0) {
    Ref freq(PyObject_GetAttr(self, n_FREQUENCY));
    valid = freq ? PySequence_Contains(freq.get(), value) : -1;
  }
  if (valid < 0) return tb_error(kValidFrequency, kValidFrequencyTest);
  if (valid) Py_RETURN_NONE;
  raise_failure(n_EXPECT_FREQUENCY, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(self, names::arg_name) &&
           a.add_attr(self, n_FREQUENCY) && a.add_borrowed(value) && a.add_type_of(value);
  });
  return tb_error(kValidFrequency, kValidFrequencyRaise);
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
  PyObject* self = p[0];
  PyObject* func_name = p[1];
  PyObject* value = p[2];
  int valid = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyLong_Type));
  if (valid > 0) valid = is_fq_code(value);
  if (valid < 0) return tb_error(kValidFq, kValidFqTest);
  if (valid) Py_RETURN_NONE;
  raise_failure(n_EXPECT_FQ, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(self, names::arg_name) && a.add_borrowed(value) &&
           a.add_type_of(value);
  });
  return tb_error(kValidFq, kValidFqRaise);
}

// `self.rules.append(self.<method>)`: `rules` is fetched first, then the bound method, then appended
// (a list append for an exact list, otherwise its `append` method). Returns the checker.
PyObject* append_bound_method(PyObject* self, PyObject* method_name, const char* tb, int line) noexcept {
  Ref rules(PyObject_GetAttr(self, names::rules));
  if (!rules) return tb_error(tb, line);
  Ref method(PyObject_GetAttr(self, method_name));
  if (!method) return tb_error(tb, line);
  if (PyList_CheckExact(rules.get())) {
    if (PyList_Append(rules.get(), method.get()) < 0) return tb_error(tb, line);
  } else {
    PyObject* argv[] = {rules.get(), method.get()};
    Ref r(PyObject_VectorcallMethod(names::append, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!r) return tb_error(tb, line);
  }
  return new_ref(self);
}

FuncSpec valid_frequency_spec{"_is_valid_frequency", "ArgumentChecker._is_valid_frequency", kValidFrequency,
                              kValidFrequencyDef, Style::Params, {"self", "func_name", "value"}, false,
                              valid_frequency};
FuncSpec is_valid_frequency_spec{
    "is_valid_frequency", "ArgumentChecker.is_valid_frequency", kIsValidFrequency, kIsValidFrequencyDef,
    Style::Single, {"self"}, false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return append_bound_method(p[0], n_is_valid_frequency, kIsValidFrequency, kIsValidFrequencyAppend);
    }};
FuncSpec valid_fq_spec{"_is_valid_fq", "ArgumentChecker._is_valid_fq", kValidFq, kValidFqDef, Style::Params,
                       {"self", "func_name", "value"}, false, valid_fq};
FuncSpec is_valid_fq_spec{
    "is_valid_fq", "ArgumentChecker.is_valid_fq", kIsValidFq, kIsValidFqDef, Style::Single, {"self"}, false,
    [](Func*, PyObject* const* p, PyObject*) noexcept {
      return append_bound_method(p[0], n_is_valid_fq, kIsValidFq, kIsValidFqAppend);
    }};

MemberRegistrar reg_valid_frequency{
    Member{25, "_is_valid_frequency", Kind::Plain, &valid_frequency_spec, kValidFrequencyDef, 0}};
MemberRegistrar reg_is_valid_frequency{
    Member{26, "is_valid_frequency", Kind::Plain, &is_valid_frequency_spec, kIsValidFrequencyDef, 0}};
MemberRegistrar reg_valid_fq{Member{27, "_is_valid_fq", Kind::Plain, &valid_fq_spec, kValidFqDef, 0}};
MemberRegistrar reg_is_valid_fq{Member{28, "is_valid_fq", Kind::Plain, &is_valid_fq_spec, kIsValidFqDef, 0}};

}  // namespace
}  // namespace ac
