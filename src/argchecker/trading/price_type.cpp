// Price-type and order-action rules: case-insensitive names, reported with a "[a,b,...]" list of the
// valid names. The value's `upper` is called without a type test, so a value without one raises
// AttributeError.
#include <Python.h>

#include "host/globals.h"
#include "rules/checker.h"
#include "runtime/failure.h"
#include "runtime/function.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"
#include "trading/ascii_case.h"

namespace ac {
namespace {

using trading::Case;

Name n_ALL_PRICE_TYPE{"ALL_PRICE_TYPE"};
Name n_EXPECT_ONEOF{"ARGCHECKER_INVALID_PARAM_EXPECT_ONEOF_ERROR"};
Name n_comma{","};
Name n_SELL{"SELL"}, n_BUY{"BUY"};
Name n_sell_buy{"[sell,buy]"};  // the display list of the order actions, always the same text

const char kIsValidPriceType[] = "tframe.utils.argchecker.ArgumentChecker.is_valid_price_type";
const char kCheckOrderCtg[] =
    "tframe.utils.argchecker.ArgumentChecker.is_valid_price_type.check_validate_orderctg";
const char kIsValidOrderAct[] = "tframe.utils.argchecker.ArgumentChecker.is_valid_order_act";
const char kCheckOrderAct[] =
    "tframe.utils.argchecker.ArgumentChecker.is_valid_order_act.check_validate_orderact";

constexpr int kPriceTypeDef = 331;
constexpr int kPriceTypeClosureDef = 332;
constexpr int kPriceTypeDisplay = 333;  // ss = "[%s]" % ",".join(self.ALL_PRICE_TYPE)
constexpr int kPriceTypeTest = 334;     // value.upper() in self.ALL_PRICE_TYPE
constexpr int kPriceTypeRaise = 335;
constexpr int kPriceTypeAppend = 338;

constexpr int kOrderActDef = 341;
constexpr int kOrderActClosureDef = 342;
constexpr int kOrderActTest = 345;  // value.upper() against the upper-cased actions
constexpr int kOrderActRaise = 346;
constexpr int kOrderActAppend = 349;

// "[%s]" % ",".join(names): the join iterates `names` and raises TypeError on a non-str item.
PyObject* display_list(PyObject* names) noexcept {
  Ref joined(PyUnicode_Join(n_comma, names));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("[%U]", joined.get());
}

// `value.upper() in self.ALL_PRICE_TYPE`, the constant read after `upper` ran; 1, 0, or -1 with an
// error set.
int upper_in_price_types(PyObject* self, PyObject* value) noexcept {
  Ref upper;
  // The built-in upper of a plain ASCII str runs no Python code: it may wait until it is needed.
  if (!trading::is_exact_ascii(value)) {
    upper = Ref(PyObject_CallMethodNoArgs(value, names::upper));
    if (!upper) return -1;
  }
  Ref types(PyObject_GetAttr(self, n_ALL_PRICE_TYPE));
  if (!types) return -1;
  if (!upper) {
    int found = trading::ascii_mapped_contains(types.get(), value, Case::Upper);
    if (found >= 0) return found;
    upper = Ref(PyObject_CallMethodNoArgs(value, names::upper));
    if (!upper) return -1;
  }
  return PySequence_Contains(types.get(), upper.get());
}

PyObject* check_validate_orderctg(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = f->cap[0];
  PyObject* func_name = p[0];
  PyObject* value = p[1];

  Ref types(PyObject_GetAttr(self, n_ALL_PRICE_TYPE));
  if (!types) return tb_error(kCheckOrderCtg, kPriceTypeDisplay);
  // Joining a tuple of plain str objects can neither fail nor run Python code, so its display list is
  // built only when the check fails; anything else is joined now, before the value is looked at.
  Ref display;
  const bool deferred = PyTuple_CheckExact(types.get()) && trading::is_plain_str_sequence(types.get());
  if (!deferred) {
    display = Ref(display_list(types.get()));
    if (!display) return tb_error(kCheckOrderCtg, kPriceTypeDisplay);
  }

  const int found = upper_in_price_types(self, value);
  if (found < 0) return tb_error(kCheckOrderCtg, kPriceTypeTest);
  if (found) Py_RETURN_NONE;

  if (!display) {
    display = Ref(display_list(types.get()));
    if (!display) return tb_error(kCheckOrderCtg, kPriceTypeDisplay);
  }
  raise_failure(n_EXPECT_ONEOF, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(self, names::arg_name) &&
           a.add_borrowed(display.get()) && a.add_borrowed(value) && a.add_type_of(value);
  });
  return tb_error(kCheckOrderCtg, kPriceTypeRaise);
}

PyObject* check_validate_orderact(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = f->cap[0];
  PyObject* func_name = p[0];
  PyObject* value = p[1];

  // The actions "sell", "buy" and their display list are literals: nothing outside can see them.
  int found;
  if (trading::is_exact_ascii(value)) {
    found = trading::ascii_mapped_equals(value, n_SELL, Case::Upper) ||
            trading::ascii_mapped_equals(value, n_BUY, Case::Upper);
  } else {
    Ref upper(PyObject_CallMethodNoArgs(value, names::upper));
    if (!upper) return tb_error(kCheckOrderAct, kOrderActTest);
    found = PyObject_RichCompareBool(upper.get(), n_SELL, Py_EQ);
    if (found == 0) found = PyObject_RichCompareBool(upper.get(), n_BUY, Py_EQ);
    if (found < 0) return tb_error(kCheckOrderAct, kOrderActTest);
  }
  if (found) Py_RETURN_NONE;

  raise_failure(n_EXPECT_ONEOF, [&](FmtArgs& a) {
    return a.add_borrowed(func_name) && a.add_attr(self, names::arg_name) &&
           a.add_borrowed(n_sell_buy) && a.add_borrowed(value) && a.add_type_of(value);
  });
  return tb_error(kCheckOrderAct, kOrderActRaise);
}

FuncSpec check_validate_orderctg_spec{
    "check_validate_orderctg", "ArgumentChecker.is_valid_price_type.<locals>.check_validate_orderctg",
    kCheckOrderCtg, kPriceTypeClosureDef, Style::Params, {"func_name", "value"}, false,
    check_validate_orderctg};
FuncSpec check_validate_orderact_spec{
    "check_validate_orderact", "ArgumentChecker.is_valid_order_act.<locals>.check_validate_orderact",
    kCheckOrderAct, kOrderActClosureDef, Style::Params, {"func_name", "value"}, false,
    check_validate_orderact};

FuncSpec is_valid_price_type_spec{
    "is_valid_price_type", "ArgumentChecker.is_valid_price_type", kIsValidPriceType, kPriceTypeDef,
    Style::Single, {"self"}, false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return finish_factory(p[0], Ref(make_function(check_validate_orderctg_spec, {p[0]})),
                            kIsValidPriceType, kPriceTypeClosureDef, kPriceTypeAppend);
    }};
FuncSpec is_valid_order_act_spec{
    "is_valid_order_act", "ArgumentChecker.is_valid_order_act", kIsValidOrderAct, kOrderActDef,
    Style::Single, {"self"}, false, [](Func*, PyObject* const* p, PyObject*) noexcept {
      return finish_factory(p[0], Ref(make_function(check_validate_orderact_spec, {p[0]})),
                            kIsValidOrderAct, kOrderActClosureDef, kOrderActAppend);
    }};

MemberRegistrar reg_is_valid_price_type{
    Member{29, "is_valid_price_type", Kind::Plain, &is_valid_price_type_spec, kPriceTypeDef, 0}};
MemberRegistrar reg_is_valid_order_act{
    Member{30, "is_valid_order_act", Kind::Plain, &is_valid_order_act_spec, kOrderActDef, 0}};

}  // namespace
}  // namespace ac
