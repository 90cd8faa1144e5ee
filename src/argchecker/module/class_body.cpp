#include "module/class_body.h"

#include <iterator>

#include "module/members.h"
#include "runtime/func/function.h"
#include "runtime/globals.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace ac {

const char kInitName[] = "init tframe.utils.argchecker";

bool init_failed(int line) noexcept {
  add_traceback(kInitName, line);
  return false;
}

namespace {

constexpr int kLineClass = 20;
constexpr int kLineAllowArgCheck = 40;
constexpr int kLineFirstPriceType = 35;

struct WordTuple {
  const char* name;
  int line;
  std::initializer_list<const char*> words;
};

const WordTuple kWordTuples[] = {
    {"FREQUENCY", 29, {"day", "min", "sec", "tick", "week", "month", "year"}},
    {"STOP_TYPE", 30, {"point", "percent"}},
    {"STOP_GAP", 31, {"point", "percent"}},
    {"TRAILING_TYPE", 32, {"point", "percent"}},
    {"ORDER_CTG", 33, {"market", "limit"}},
    {"ORDER_ACT", 34, {"buy", "sell"}},
};

const char* const kPriceTypes[] = {"Market",   "Limit",    "MarketIOC", "MarketRestTolimit", "MarketFOK",
                                   "LimitFOK", "LimitIOC", "5LevelIOC", "5LevelFOK",         "5LevelROD"};

bool bind_constants(PyObject* ns) {
  for (const WordTuple& v : kWordTuples) {
    Ref t(PyTuple_New(static_cast<Py_ssize_t>(v.words.size())));
    if (!t) return init_failed(v.line);
    Py_ssize_t i = 0;
    for (const char* w : v.words) {
      PyObject* s = PyUnicode_InternFromString(w);
      if (!s) return init_failed(v.line);
      PyTuple_SET_ITEM(t.get(), i++, s);
    }
    if (PyDict_SetItemString(ns, v.name, t.get()) < 0) return init_failed(v.line);
  }

  // ALL_PRICE_TYPE: each literal upper-cased, in the listed order.
  constexpr Py_ssize_t n = sizeof(kPriceTypes) / sizeof(kPriceTypes[0]);
  Ref t(PyTuple_New(n));
  if (!t) return init_failed(kLineFirstPriceType);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const int line = kLineFirstPriceType + static_cast<int>(i / 2);
    Ref lit(PyUnicode_FromString(kPriceTypes[i]));
    if (!lit) return init_failed(line);
    Ref up(PyObject_CallMethod(lit.get(), "upper", nullptr));
    if (!up) return init_failed(line);
    PyTuple_SET_ITEM(t.get(), i, up.release());
  }
  if (PyDict_SetItemString(ns, "ALL_PRICE_TYPE", t.get()) < 0) return init_failed(kLineFirstPriceType);

  // The switch is read from the host setting once, when the class is created.
  Ref get_setting(get_global(names::get_setting));
  if (!get_setting) return init_failed(kLineAllowArgCheck);
  Ref allow(PyObject_CallFunction(get_setting.get(), "sO", "ALLOW_ARG_CHECK", Py_True));
  if (!allow) return init_failed(kLineAllowArgCheck);
  if (PyDict_SetItemString(ns, "ALLOW_ARG_CHECK", allow.get()) < 0) return init_failed(kLineAllowArgCheck);
  return true;
}

enum class Wrap : unsigned char { kNone, kStaticMethod, kClassMethod };

struct Entry {
  const FuncDef& def;  // bound under its __name__
  Wrap wrap;
};

#define AC_PLAIN(m) Entry{member::m, Wrap::kNone},
#define AC_CLASSMETHOD(m) Entry{member::m, Wrap::kClassMethod},
#define AC_STATICMETHOD(m) Entry{member::m, Wrap::kStaticMethod},
const Entry kClassBody[] = {AC_CLASS_BODY(AC_PLAIN, AC_CLASSMETHOD, AC_STATICMETHOD)};
const Entry kModuleFunctions[] = {AC_MODULE_FUNCTIONS(AC_PLAIN)};
#undef AC_PLAIN
#undef AC_CLASSMETHOD
#undef AC_STATICMETHOD

// Creates the function of `e` with its defaults and annotations (not yet wrapped).
PyObject* create_member(const Entry& e, PyObject* module_dict) {
  Ref defaults(e.def.make_defaults(module_dict));
  if (!defaults && PyErr_Occurred()) return nullptr;
  return make_function(e.def, {}, defaults.get());
}

// Binds the entries into `ns`; a class or static method is wrapped by the builtin type, and a failure
// there reports the line before its definition, where the decorator stands.
bool bind_entries(const Entry* begin, const Entry* end, PyObject* ns, PyObject* module_dict) {
  for (const Entry* e = begin; e != end; ++e) {
    Ref f(create_member(*e, module_dict));
    if (!f) return init_failed(e->def.line);
    if (e->wrap != Wrap::kNone) {
      PyTypeObject* wrapper = e->wrap == Wrap::kStaticMethod ? &PyStaticMethod_Type : &PyClassMethod_Type;
      f = Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(wrapper), f.get()));
      if (!f) return init_failed(e->def.line - 1);
    }
    if (PyDict_SetItem(ns, e->def.name_obj, f.get()) < 0) return init_failed(e->def.line);
  }
  return true;
}

}  // namespace

bool build_class(PyObject* module_dict) noexcept {
  Ref ns(PyDict_New());
  if (!ns) return init_failed(kLineClass);
  Ref mod(PyUnicode_FromString("tframe.utils.argchecker"));
  if (!mod || PyDict_SetItemString(ns.get(), "__module__", mod.get()) < 0) return init_failed(kLineClass);
  Ref qn(PyUnicode_FromString("ArgumentChecker"));
  if (!qn || PyDict_SetItemString(ns.get(), "__qualname__", qn.get()) < 0) return init_failed(kLineClass);
  if (!bind_constants(ns.get())) return false;

  if (!bind_entries(std::begin(kClassBody), std::end(kClassBody), ns.get(), module_dict)) return false;

  Ref name(PyUnicode_FromString("ArgumentChecker"));
  Ref bases(PyTuple_New(0));
  if (!name || !bases) return init_failed(kLineClass);
  PyObject* argv[] = {name.get(), bases.get(), ns.get()};
  Ref cls(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), argv, 3, nullptr));
  if (!cls) return init_failed(kLineClass);
  if (PyDict_SetItemString(module_dict, "ArgumentChecker", cls.get()) < 0) return init_failed(kLineClass);
  return true;
}

bool bind_module_functions(PyObject* module_dict) noexcept {
  return bind_entries(std::begin(kModuleFunctions), std::end(kModuleFunctions), module_dict, module_dict);
}

}  // namespace ac
