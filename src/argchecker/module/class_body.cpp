#include "module/class_body.h"

#include "host/globals.h"
#include "runtime/function.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"

namespace ac {

const char kInitName[] = "init tframe.utils.argchecker";

namespace {

constexpr int kLineClass = 20;
constexpr int kLineAllowArgCheck = 40;
constexpr int kLineFirstPriceType = 35;

bool fail(int line) {
  add_traceback(kInitName, line);
  return false;
}

struct Vocabulary {
  const char* name;
  int line;
  std::initializer_list<const char*> words;
};

const Vocabulary kVocabularies[] = {
    {"FREQUENCY", 29, {"day", "min", "sec", "tick", "week", "month", "year"}},
    {"STOP_TYPE", 30, {"point", "percent"}},
    {"STOP_GAP", 31, {"point", "percent"}},
    {"TRAILING_TYPE", 32, {"point", "percent"}},
    {"ORDER_CTG", 33, {"market", "limit"}},
    {"ORDER_ACT", 34, {"buy", "sell"}},
};

const char* const kPriceTypes[] = {"Market",   "Limit",    "MarketIOC", "MarketRestTolimit",
                                   "MarketFOK", "LimitFOK", "LimitIOC",  "5LevelIOC",
                                   "5LevelFOK", "5LevelROD"};

bool bind_constants(PyObject* ns) {
  for (const Vocabulary& v : kVocabularies) {
    Ref t(PyTuple_New(static_cast<Py_ssize_t>(v.words.size())));
    if (!t) return fail(v.line);
    Py_ssize_t i = 0;
    for (const char* w : v.words) {
      PyObject* s = PyUnicode_InternFromString(w);
      if (!s) return fail(v.line);
      PyTuple_SET_ITEM(t.get(), i++, s);
    }
    if (PyDict_SetItemString(ns, v.name, t.get()) < 0) return fail(v.line);
  }

  // ALL_PRICE_TYPE: each literal upper-cased, in the listed order.
  constexpr Py_ssize_t n = sizeof(kPriceTypes) / sizeof(kPriceTypes[0]);
  Ref t(PyTuple_New(n));
  if (!t) return fail(kLineFirstPriceType);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const int line = kLineFirstPriceType + static_cast<int>(i / 2);
    Ref lit(PyUnicode_FromString(kPriceTypes[i]));
    if (!lit) return fail(line);
    Ref up(PyObject_CallMethod(lit.get(), "upper", nullptr));
    if (!up) return fail(line);
    PyTuple_SET_ITEM(t.get(), i, up.release());
  }
  if (PyDict_SetItemString(ns, "ALL_PRICE_TYPE", t.get()) < 0) return fail(kLineFirstPriceType);

  // The switch is read from the host setting once, when the class is created.
  Ref get_setting(get_global(names::g_get_setting));
  if (!get_setting) return fail(kLineAllowArgCheck);
  Ref allow(PyObject_CallFunction(get_setting.get(), "sO", "ALLOW_ARG_CHECK", Py_True));
  if (!allow) return fail(kLineAllowArgCheck);
  if (PyDict_SetItemString(ns, "ALLOW_ARG_CHECK", allow.get()) < 0) return fail(kLineAllowArgCheck);
  return true;
}

// Creates the function of `m` with its defaults and annotations (not yet wrapped).
PyObject* create_member(const Member& m) {
  Ref defaults;
  if (m.defaults) {
    defaults = Ref(m.defaults());
    if (!defaults) return nullptr;
  }
  Ref f(make_function(*m.spec, {}, defaults.get()));
  if (!f) return nullptr;
  if (m.annotations) {
    Ref ann(m.annotations());
    if (!ann) return nullptr;
    if (PyObject_SetAttrString(f.get(), "__annotations__", ann.get()) < 0) return nullptr;
  }
  return f.release();
}

}  // namespace

bool build_class(PyObject* module_dict) noexcept {
  Ref ns(PyDict_New());
  if (!ns) return fail(kLineClass);
  Ref mod(PyUnicode_FromString("tframe.utils.argchecker"));
  if (!mod || PyDict_SetItemString(ns.get(), "__module__", mod.get()) < 0) return fail(kLineClass);
  Ref qn(PyUnicode_FromString("ArgumentChecker"));
  if (!qn || PyDict_SetItemString(ns.get(), "__qualname__", qn.get()) < 0) return fail(kLineClass);
  if (!bind_constants(ns.get())) return false;

  for (const Member* m : class_members()) {
    Ref f(create_member(*m));
    if (!f) return fail(m->line);
    if (m->kind == Kind::Static || m->kind == Kind::Class) {
      PyTypeObject* wrapper = m->kind == Kind::Static ? &PyStaticMethod_Type : &PyClassMethod_Type;
      f = Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(wrapper), f.get()));
      if (!f) return fail(m->wrap_line);
    }
    if (PyDict_SetItemString(ns.get(), m->name, f.get()) < 0) return fail(m->line);
  }

  Ref name(PyUnicode_FromString("ArgumentChecker"));
  Ref bases(PyTuple_New(0));
  if (!name || !bases) return fail(kLineClass);
  PyObject* argv[] = {name.get(), bases.get(), ns.get()};
  Ref cls(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), argv, 3, nullptr));
  if (!cls) return fail(kLineClass);
  if (PyDict_SetItemString(module_dict, "ArgumentChecker", cls.get()) < 0) return fail(kLineClass);
  return true;
}

bool bind_module_functions(PyObject* module_dict) noexcept {
  for (const Member* m : module_functions()) {
    Ref f(create_member(*m));
    if (!f) return fail(m->line);
    if (PyDict_SetItemString(module_dict, m->name, f.get()) < 0) return fail(m->line);
  }
  return true;
}

}  // namespace ac
