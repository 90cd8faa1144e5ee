// apply_rule: the decorator that checks an API function's arguments at every call.
#include "rules/decorator.h"

#include <utility>

#include "module/members.h"
#include "rules/binder.h"
#include "runtime/cache/cache.h"
#include "runtime/compat.h"
#include "runtime/failure.h"
#include "runtime/func/args.h"
#include "runtime/func/function.h"
#include "runtime/globals.h"
#include "runtime/imports.h"
#include "runtime/names.h"

namespace ac {
namespace {

// Lines of apply_rule's source, as traceback entries report them:
// def apply_rule(*rules):
//     def decorator(func):
//         @wraps(func)
//         def api_rule_check_wrapper(*args, **kwargs):
enum ApplyRuleLine {
  kLineApplyRule = 470,
  kLineDecorator = 471,
  kLineWraps = 472,
  kLineWrapper = 473,
  kLineSwitch = 475,
  kLineBind = 476,
  kLineVerify = 478,
  kLineCallFunc = 479,
  kLineExcept = 480,
  kLineImportSys = 481,
  kLineErrorText = 482,
  kLineUserlog = 483,
  kLineReraise = 485,
};

extern FuncDef wrapper_def, decorator_def;

HotName n_ALLOW_ARG_CHECK{"ALLOW_ARG_CHECK"};
Name n_format_stack{"format_stack"};
Name n_format_exc{"format_exc"};
Name n_getframe{"_getframe"};
Name n_limit{"limit"};
Name n_console{"console"};
Name n_error{"error"};

// The handler's `error_text`: two stack entries above the caller of the decorated function, then the
// formatted exception being handled.
PyObject* build_error_text(PyObject* sys) noexcept {
  Ref tbmod(get_global(names::traceback));
  if (!tbmod) return nullptr;
  Ref format_stack(PyObject_GetAttr(tbmod.get(), n_format_stack));
  if (!format_stack) return nullptr;

  // The wrapper adds no frame: the current frame is the code that called the decorated function.
  // Its caller is the frame to show; when it has none (the outermost frame of a script), the stack is
  // formatted from that frame itself rather than failing on a stack that is not deep enough.
  Ref stack;
  PyFrameObject* here = compat::current_frame();
  if (!here) {
    stack = Ref(PyList_New(0));
  } else {
    Ref getframe(PyObject_GetAttr(sys, n_getframe));
    if (!getframe) return nullptr;
    Ref depth(PyLong_FromLong(compat::frame_has_back(here) ? 1 : 0));
    if (!depth) return nullptr;
    PyObject* a1 = depth.get();
    Ref frame(PyObject_Vectorcall(getframe.get(), &a1, 1, nullptr));
    if (!frame) return nullptr;
    Ref two(PyLong_FromLong(2));
    PyObject* kw = n_limit.kwnames();
    if (!two || !kw) return nullptr;
    PyObject* argv[] = {frame.get(), two.get()};
    stack = Ref(PyObject_Vectorcall(format_stack.get(), argv, 1, kw));
  }
  if (!stack) return nullptr;

  Ref format_exc(PyObject_GetAttr(tbmod.get(), n_format_exc));
  if (!format_exc) return nullptr;
  Ref exc_text(PyObject_CallNoArgs(format_exc.get()));
  if (!exc_text) return nullptr;
  Ref tail(PyList_New(1));
  if (!tail) return nullptr;
  PyList_SET_ITEM(tail.get(), 0, exc_text.release());
  Ref pieces(PyNumber_Add(stack.get(), tail.get()));
  if (!pieces) return nullptr;
  Ref empty(PyUnicode_FromStringAndSize("", 0));
  if (!empty) return nullptr;
  return PyUnicode_Join(empty.get(), pieces.get());
}

// `except InvalidParamError as e:` log the failure to the user log and raise `e` again; anything else
// passes on unchanged.
PyObject* handle_failure() noexcept {
  Caught caught;
  Ref cls(get_global(names::InvalidParamError));
  if (!cls) return error_at(wrapper_def, kLineExcept);
  if (!caught.matches(cls.get())) return caught.restore();

  return in_except(caught, [&]() -> PyObject* {
    Ref sys(import_module("sys", nullptr, -1));
    if (!sys) return error_at(wrapper_def, kLineImportSys);
    Ref error_text(build_error_text(sys.get()));
    if (!error_text) return error_at(wrapper_def, kLineErrorText);

    Ref write_userlog(get_global(names::write_userlog));
    if (!write_userlog) return error_at(wrapper_def, kLineUserlog);
    PyObject* kw = n_console.kwnames();
    if (!kw) return error_at(wrapper_def, kLineUserlog);
    PyObject* argv[] = {error_text.get(), n_error, Py_None};
    Ref logged(PyObject_Vectorcall(write_userlog.get(), argv, 2, kw));
    if (!logged) return error_at(wrapper_def, kLineUserlog);

    raise_object(caught.value());
    return error_at(wrapper_def, kLineReraise);
  });
}

// `func.__name__`: a plain Python function keeps it in a field that its type's descriptor reads.
PyObject* name_of(PyObject* func) noexcept {
  if (Py_TYPE(func) == &PyFunction_Type) return new_ref(reinterpret_cast<PyFunctionObject*>(func)->func_name);
  return PyObject_GetAttr(func, names::dunder_name);
}

// Runs every checker of `rules` against the bound arguments.
bool run_checkers(PyObject* rules, PyObject* func, CallArgs& call_args, int* line) noexcept {
  *line = kLineVerify;
  const Py_ssize_t n = PyTuple_GET_SIZE(rules);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* r = PyTuple_GET_ITEM(rules, i);
    PyObject* verify_raw;
    const int unbound = read_method(r, names::verify, &verify_raw);
    Ref verify(verify_raw);
    if (!verify) return false;
    Ref name(name_of(func));
    if (!name) return false;
    Ref arg_name(read_attr(r, names::arg_name));
    if (!arg_name) return false;
    Ref value(call_args.get(arg_name.get()));
    if (!value) return false;
    // A method found on the checker's type is called with the checker in front, as the bound method
    // would have done.
    PyObject* argv[] = {r, name.get(), value.get()};
    Ref result(call(verify.get(), argv + 1 - unbound, 2 + unbound, nullptr));
    if (!result) return false;
  }
  return true;
}

// `ArgumentChecker.ALLOW_ARG_CHECK`, read at every call: 1, 0, or -1 with an error set. The class is
// the module global's value at this moment; the attribute comes from the class's answers.
inline int switch_on() noexcept {
  Ref cls(read_global(names::ArgumentChecker));
  if (!cls) return -1;
  Ref allow(read_class_attr(cls.get(), n_ALLOW_ARG_CHECK));
  if (!allow) return -1;
  if (allow.get() == Py_True) return 1;
  if (allow.get() == Py_False) return 0;
  return PyObject_IsTrue(allow.get());
}

// A failure at `line` of the wrapper: the traceback entry, then the except block.
AC_COLD AC_NOINLINE PyObject* wrapper_failed(int line) noexcept {
  error_at(wrapper_def, line);
  return handle_failure();
}

// The checks, then the call: kept out of line so that a call with checking off pays for none of it.
AC_NOINLINE PyObject* checked_call(Func* w, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) noexcept {
  PyObject* func = w->cap[Wrapper::kFunc];
  int line = kLineBind;
  {
    CallArgs call_args;
    if (!call_args.bind(w, func, args, PyVectorcall_NARGS(nargsf), kwnames)) return wrapper_failed(line);
    if (!run_checkers(w->cap[Wrapper::kRules], func, call_args, &line)) return wrapper_failed(line);
  }
  PyObject* result = PyObject_Vectorcall(func, args, nargsf, kwnames);
  return result ? result : wrapper_failed(kLineCallFunc);
}

PyObject* wrapper_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  Func* w = reinterpret_cast<Func*>(callable);
  if (kwnames && !check_keyword_strings(wrapper_def.name, kwnames))
    return error_at(wrapper_def, kLineWrapper);
  const int on = switch_on();
  if (on < 0) return wrapper_failed(kLineSwitch);
  if (on) return checked_call(w, args, nargsf, kwnames);
  PyObject* result = PyObject_Vectorcall(w->cap[Wrapper::kFunc], args, nargsf, kwnames);
  return result ? result : wrapper_failed(kLineCallFunc);
}

FuncDef wrapper_def{"apply_rule.<locals>.decorator.<locals>.api_rule_check_wrapper", kLineWrapper,
                    wrapper_call};

PyObject* decorator_body(Func* self, PyObject* const* p, PyObject*) noexcept {
  PyObject* func = p[0];
  Ref wraps(get_global(names::wraps));
  if (!wraps) return error_at(decorator_def, kLineWraps);
  Ref updater(PyObject_Vectorcall(wraps.get(), &func, 1, nullptr));
  if (!updater) return error_at(decorator_def, kLineWraps);
  Ref wrapper(make_function(wrapper_def, {self->cap[Decorator::kRules], func}));
  if (!wrapper) return error_at(decorator_def, kLineWrapper);
  PyObject* w = wrapper.get();
  PyObject* r = PyObject_Vectorcall(updater.get(), &w, 1, nullptr);
  if (!r) return error_at(decorator_def, kLineWraps);
  return r;
}

FuncDef decorator_def{"apply_rule.<locals>.decorator", kLineDecorator, {"func"}, decorator_body};

PyObject* apply_rule_body(Func*, PyObject* const*, PyObject* rules) noexcept {
  PyObject* d = make_function(decorator_def, {rules});
  if (!d) return error_at(member::apply_rule, kLineDecorator);
  return d;
}

}  // namespace

FuncDef member::apply_rule{"apply_rule", kLineApplyRule, {"*rules"}, apply_rule_body};

}  // namespace ac
