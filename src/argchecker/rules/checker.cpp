// The checker core: __init__, verify and verify_that.
#include "rules/checker.h"

#include "host/globals.h"
#include "runtime/function.h"
#include "runtime/names.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"

namespace ac {

PyObject* append_rule(PyObject* self, PyObject* rule, const char* tb_name, int line) noexcept {
  Ref rules(PyObject_GetAttr(self, names::rules));
  if (!rules) return tb_error(tb_name, line);
  if (PyList_CheckExact(rules.get())) {
    if (PyList_Append(rules.get(), rule) < 0) return tb_error(tb_name, line);
  } else {
    PyObject* argv[] = {rules.get(), rule};
    Ref r(PyObject_VectorcallMethod(names::append, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!r) return tb_error(tb_name, line);
  }
  return new_ref(self);
}

PyObject* finish_factory(PyObject* self, Ref rule, const char* tb_name, int create_line,
                         int append_line) noexcept {
  if (!rule) return tb_error(tb_name, create_line);
  return append_rule(self, rule.get(), tb_name, append_line);
}

namespace {

const char kInit[] = "tframe.utils.argchecker.ArgumentChecker.__init__";
const char kVerify[] = "tframe.utils.argchecker.ArgumentChecker.verify";
const char kVerifyThat[] = "tframe.utils.argchecker.verify_that";

PyObject* init_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  if (PyObject_SetAttr(self, names::arg_name, p[1]) < 0) return tb_error(kInit, 44);
  Ref rules(PyList_New(0));
  if (!rules || PyObject_SetAttr(self, names::rules, rules.get()) < 0) return tb_error(kInit, 45);
  Py_RETURN_NONE;
}

PyObject* verify_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = p[0];
  PyObject* argv[] = {p[1], p[2]};
  Ref rules(PyObject_GetAttr(self, names::rules));
  if (!rules) return tb_error(kVerify, 353);
  PyObject* seq = rules.get();
  const bool is_list = PyList_CheckExact(seq);
  if (is_list || PyTuple_CheckExact(seq)) {
    // Walked by index, re-reading the length at each step: a rule appended meanwhile also runs.
    for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); ++i) {
      Ref rule = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
      Ref r(call(rule.get(), argv, 2, nullptr));
      if (!r) return tb_error(kVerify, 354);
    }
  } else {
    Ref it(PyObject_GetIter(seq));
    if (!it) return tb_error(kVerify, 353);
    for (;;) {
      Ref rule(PyIter_Next(it.get()));
      if (!rule) {
        if (PyErr_Occurred()) return tb_error(kVerify, 353);
        break;
      }
      Ref r(call(rule.get(), argv, 2, nullptr));
      if (!r) return tb_error(kVerify, 354);
    }
  }
  Py_RETURN_NONE;
}

PyObject* verify_that_body(Func*, PyObject* const* p, PyObject*) noexcept {
  Ref cls(get_global(names::g_ArgumentChecker));
  if (!cls) return tb_error(kVerifyThat, 467);
  PyObject* r = PyObject_Vectorcall(cls.get(), p, 1, nullptr);
  if (!r) return tb_error(kVerifyThat, 467);
  return r;
}

FuncSpec init_spec{"__init__", "ArgumentChecker.__init__", kInit, 42, Style::Params,
                   {"self", "arg_name"}, false, init_body};
FuncSpec verify_spec{"verify", "ArgumentChecker.verify", kVerify, 352, Style::Params,
                     {"self", "func_name", "value"}, false, verify_body};
FuncSpec verify_that_spec{"verify_that", "verify_that", kVerifyThat, 464, Style::Single,
                          {"arg_name"}, false, verify_that_body};

MemberRegistrar reg_init{Member{2, "__init__", Kind::Plain, &init_spec, 42, 0}};
MemberRegistrar reg_verify{Member{31, "verify", Kind::Plain, &verify_spec, 352, 0}};
MemberRegistrar reg_verify_that{Member{1, "verify_that", Kind::ModuleFunction, &verify_that_spec, 464, 0}};

}  // namespace
}  // namespace ac
