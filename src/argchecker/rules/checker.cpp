// The checker core: __init__, verify and verify_that.
#include "module/members.h"
#include "rules/contract.h"
#include "runtime/cache/cache.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/globals.h"
#include "runtime/names.h"

namespace ac {

namespace {

// `rules.append(rule)`: a list append for an exact list, otherwise its `append` method. False with an
// error set.
bool append_to(PyObject* rules, PyObject* rule) noexcept {
  if (PyList_CheckExact(rules)) return PyList_Append(rules, rule) == 0;
  PyObject* argv[] = {rules, rule};
  Ref r(call_method(names::append, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return static_cast<bool>(r);
}

}  // namespace

PyObject* append_rule(const FuncDef& factory, int line, PyObject* self, PyObject* rule) noexcept {
  Ref rules(PyObject_GetAttr(self, names::rules));
  if (!rules || !append_to(rules.get(), rule)) return error_at(factory, line);
  return new_ref(self);
}

PyObject* append_method(const FuncDef& factory, int line, PyObject* self, PyObject* method) noexcept {
  Ref rules(PyObject_GetAttr(self, names::rules));
  if (!rules) return error_at(factory, line);
  Ref rule(PyObject_GetAttr(self, method));
  if (!rule || !append_to(rules.get(), rule.get())) return error_at(factory, line);
  return new_ref(self);
}

PyObject* add_rule(const FuncDef& factory, int append_line, const FuncDef& rule,
                   std::initializer_list<PyObject*> captures) noexcept {
  PyObject* self = *captures.begin();
  Ref closure(make_function(rule, captures));
  if (!closure) return error_at(factory, rule.line);
  return append_rule(factory, append_line, self, closure.get());
}

namespace {

// def __init__(self, arg_name):
enum InitLine { kInitDef = 42, kInitArgName = 44, kInitRules = 45 };

PyObject* init_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  if (PyObject_SetAttr(self, names::arg_name, p[1]) < 0) return error_at(member::init, kInitArgName);
  Ref rules(PyList_New(0));
  if (!rules || PyObject_SetAttr(self, names::rules, rules.get()) < 0)
    return error_at(member::init, kInitRules);
  Py_RETURN_NONE;
}

// def verify(self, func_name, value):
enum VerifyLine { kVerifyDef = 352, kVerifyLoop = 353, kVerifyRule = 354 };

PyObject* verify_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  // A free slot in front of the arguments, which a bound-method rule takes for its `self`.
  PyObject* slots[] = {nullptr, p[1], p[2]};
  PyObject* const* argv = slots + 1;
  const size_t nargsf = 2 | PY_VECTORCALL_ARGUMENTS_OFFSET;
  Ref rules(read_attr(self, names::rules));
  if (!rules) return error_at(member::verify, kVerifyLoop);
  PyObject* seq = rules.get();
  const bool is_list = PyList_CheckExact(seq);
  if (is_list || PyTuple_CheckExact(seq)) {
    // Walked by index, re-reading the length at each step: a rule appended meanwhile also runs.
    for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); ++i) {
      Ref rule = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
      Ref r(call(rule.get(), argv, nargsf, nullptr));
      if (!r) return error_at(member::verify, kVerifyRule);
    }
    Py_RETURN_NONE;
  }
  Ref it(PyObject_GetIter(seq));
  if (!it) return error_at(member::verify, kVerifyLoop);
  while (Ref rule{PyIter_Next(it.get())}) {
    Ref r(call(rule.get(), argv, nargsf, nullptr));
    if (!r) return error_at(member::verify, kVerifyRule);
  }
  if (PyErr_Occurred()) return error_at(member::verify, kVerifyLoop);
  Py_RETURN_NONE;
}

// def verify_that(arg_name):
enum VerifyThatLine { kVerifyThatDef = 464, kVerifyThatCall = 467 };

PyObject* verify_that_body(Func*, PyObject* const* p, PyObject*) noexcept {
  Ref cls(read_global(names::ArgumentChecker));
  if (!cls) return error_at(member::verify_that, kVerifyThatCall);
  PyObject* r = call(cls.get(), p, 1, nullptr);
  if (!r) return error_at(member::verify_that, kVerifyThatCall);
  return r;
}

}  // namespace

FuncDef member::init{"ArgumentChecker.__init__", kInitDef, {"self", "arg_name"}, init_body};
FuncDef member::verify{"ArgumentChecker.verify", kVerifyDef, {"self", "func_name", "value"}, verify_body};
FuncDef member::verify_that{"verify_that", kVerifyThatDef, {"arg_name"}, verify_that_body};

}  // namespace ac
