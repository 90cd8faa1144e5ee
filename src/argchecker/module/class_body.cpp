#include "module/class_body.h"

#include <iterator>

#include "module/members.h"
#include "runtime/function.h"
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

const char* const kPriceTypes[] = {"Market",   "Limit",    "MarketIOC", "MarketRestTolimit", "MarketFOK",
                                   "LimitFOK", "LimitIOC", "5LevelIOC", "5LevelFOK",         "5LevelROD"};

bool bind_constants(PyObject* ns) {
  for (const Vocabulary& v : kVocabularies) {
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
  Ref get_setting(get_global(names::g_get_setting));
  if (!get_setting) return init_failed(kLineAllowArgCheck);
  Ref allow(PyObject_CallFunction(get_setting.get(), "sO", "ALLOW_ARG_CHECK", Py_True));
  if (!allow) return init_failed(kLineAllowArgCheck);
  if (PyDict_SetItemString(ns, "ALLOW_ARG_CHECK", allow.get()) < 0) return init_failed(kLineAllowArgCheck);
  return true;
}

enum class Wrap : unsigned char { kNone, kStaticMethod, kClassMethod };

struct Entry {
  const char* name;  // the key it is bound under
  const FuncDef& def;
  Wrap wrap = Wrap::kNone;
};

// The class body of ArgumentChecker, after its constants, in order.
const Entry kClassBody[] = {
    {"__init__", member::init},
    {"is_instance_of", member::is_instance_of},
    {"is_callable", member::is_callable},
    {"is_exist_path", member::is_exist_path},
    {"_is_instance_of", member::is_instance_of_worker},
    {"is_empty_or_not", member::is_empty_or_not},
    {"_is_in", member::is_in_worker},
    {"is_in", member::is_in},
    {"_sub_set", member::sub_set_worker},
    {"sub_set", member::sub_set},
    {"is_stop_type", member::is_stop_type},
    {"is_stop_gap", member::is_stop_gap},
    {"is_trailing_type", member::is_trailing_type},
    {"is_oder_ctg", member::is_oder_ctg},
    {"is_oder_act", member::is_oder_act},
    {"is_valid_quarter", member::is_valid_quarter},
    {"is_valid_date", member::is_valid_date},
    {"is_future_date", member::is_future_date},
    {"is_greater_than", member::is_greater_than},
    {"_is_greater_or_equal_than", member::is_greater_or_equal_worker},
    {"is_greater_or_equal_than", member::is_greater_or_equal_than},
    {"is_less_than", member::is_less_than},
    {"is_less_or_equal_than", member::is_less_or_equal_than},
    {"_is_valid_frequency", member::is_valid_frequency_worker},
    {"is_valid_frequency", member::is_valid_frequency},
    {"_is_valid_fq", member::is_valid_fq_worker},
    {"is_valid_fq", member::is_valid_fq},
    {"is_valid_price_type", member::is_valid_price_type},
    {"is_valid_order_act", member::is_valid_order_act},
    {"verify", member::verify},
    {"check_begin_end_date", member::check_begin_end_date, Wrap::kClassMethod},
    {"is_algorithm_func_and_args", member::is_algorithm_func_and_args, Wrap::kClassMethod},
    {"check_ndarray_idx", member::check_ndarray_idx, Wrap::kStaticMethod},
    {"check_callable", member::check_callable, Wrap::kStaticMethod},
};

// The module's functions, bound after the class, in order.
const Entry kModuleFunctions[] = {
    {"verify_that", member::verify_that},
    {"apply_rule", member::apply_rule},
    {"get_target_from_cache", member::get_target_from_cache},
    {"set_target_to_cache", member::set_target_to_cache},
    {"convert_targets", member::convert_targets},
    {"patch_target_list", member::patch_target_list},
};

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
    if (PyDict_SetItemString(ns, e->name, f.get()) < 0) return init_failed(e->def.line);
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
