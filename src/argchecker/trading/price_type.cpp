// Price-type and order-action rules: case-insensitive names, reported with a "[a,b,...]" list of the
// valid names. The value's `upper` is called without a type test, so a value without one raises
// AttributeError.
#include <Python.h>

#include "module/members.h"
#include "rules/contract.h"
#include "runtime/cache/cache.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/message_keys.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "trading/ascii_case.h"

namespace ac {
namespace {

using trading::Case;

HotName n_ALL_PRICE_TYPE{"ALL_PRICE_TYPE"};
Name n_comma{","};
Name n_SELL{"SELL"}, n_BUY{"BUY"};
Name n_sell_buy{"[sell,buy]"};  // the display list of the order actions, always the same text

// def is_valid_price_type(self):
//     def check_validate_orderctg(func_name, value):
enum PriceTypeLine {
  kPriceTypeDef = 331,
  kPriceTypeClosureDef = 332,
  kPriceTypeDisplay = 333,  // ss = "[%s]" % ",".join(self.ALL_PRICE_TYPE)
  kPriceTypeTest = 334,     // value.upper() in self.ALL_PRICE_TYPE
  kPriceTypeRaise = 335,
  kPriceTypeAppend = 338,
};

// def is_valid_order_act(self):
//     def check_validate_orderact(func_name, value):
enum OrderActLine {
  kOrderActDef = 341,
  kOrderActClosureDef = 342,
  kOrderActTest = 345,  // value.upper() against the upper-cased actions
  kOrderActRaise = 346,
  kOrderActAppend = 349,
};

// What both closures capture.
enum CheckSlot { kChecker };

extern FuncDef check_orderctg, check_orderact;

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
  Ref types(read_attr(self, n_ALL_PRICE_TYPE));
  if (!types) return -1;
  if (!upper) {
    int found = trading::ascii_mapped_contains(types.get(), value, Case::Upper);
    if (found >= 0) return found;
    upper = Ref(PyObject_CallMethodNoArgs(value, names::upper));
    if (!upper) return -1;
  }
  return PySequence_Contains(types.get(), upper.get());
}

PyObject* check_validate_orderctg_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = f->cap[kChecker];
  PyObject* func_name = p[0];
  PyObject* value = p[1];

  Ref types(read_attr(self, n_ALL_PRICE_TYPE));
  if (!types) return error_at(check_orderctg, kPriceTypeDisplay);
  // Joining a tuple of plain str objects can neither fail nor run Python code, so its display list is
  // built only when the check fails; anything else is joined now, before the value is looked at.
  Ref display;
  const bool deferred = PyTuple_CheckExact(types.get()) && trading::is_plain_str_sequence(types.get());
  if (!deferred) {
    display = Ref(display_list(types.get()));
    if (!display) return error_at(check_orderctg, kPriceTypeDisplay);
  }

  const int found = upper_in_price_types(self, value);
  if (found < 0) return error_at(check_orderctg, kPriceTypeTest);
  if (found) Py_RETURN_NONE;

  if (!display) {
    display = Ref(display_list(types.get()));
    if (!display) return error_at(check_orderctg, kPriceTypeDisplay);
  }
  return fail(check_orderctg, kPriceTypeRaise, key::EXPECT_ONEOF,
              {func_name, MsgArg::arg_name(self), display.get(), value, MsgArg::type_of(value)});
}

PyObject* check_validate_orderact_body(Func* f, PyObject* const* p, PyObject*) noexcept {
  PyObject* self = f->cap[kChecker];
  PyObject* func_name = p[0];
  PyObject* value = p[1];

  // The actions "sell", "buy" and their display list are literals: nothing outside can see them.
  int found;
  if (trading::is_exact_ascii(value)) {
    found = trading::ascii_mapped_equals(value, n_SELL, Case::Upper) ||
            trading::ascii_mapped_equals(value, n_BUY, Case::Upper);
  } else {
    Ref upper(PyObject_CallMethodNoArgs(value, names::upper));
    if (!upper) return error_at(check_orderact, kOrderActTest);
    found = PyObject_RichCompareBool(upper.get(), n_SELL, Py_EQ);
    if (found == 0) found = PyObject_RichCompareBool(upper.get(), n_BUY, Py_EQ);
    if (found < 0) return error_at(check_orderact, kOrderActTest);
  }
  if (found) Py_RETURN_NONE;

  return fail(check_orderact, kOrderActRaise, key::EXPECT_ONEOF,
              {func_name, MsgArg::arg_name(self), n_sell_buy.get(), value, MsgArg::type_of(value)});
}

FuncDef check_orderctg{"ArgumentChecker.is_valid_price_type.<locals>.check_validate_orderctg",
                       kPriceTypeClosureDef,
                       {"func_name", "value"},
                       check_validate_orderctg_body};
FuncDef check_orderact{"ArgumentChecker.is_valid_order_act.<locals>.check_validate_orderact",
                       kOrderActClosureDef,
                       {"func_name", "value"},
                       check_validate_orderact_body};

}  // namespace

FuncDef member::is_valid_price_type{"ArgumentChecker.is_valid_price_type",
                                    kPriceTypeDef,
                                    {"self"},
                                    [](Func*, PyObject* const* p, PyObject*) noexcept {
                                      return add_rule(member::is_valid_price_type, kPriceTypeAppend,
                                                      check_orderctg, {p[0]});
                                    }};
FuncDef member::is_valid_order_act{"ArgumentChecker.is_valid_order_act",
                                   kOrderActDef,
                                   {"self"},
                                   [](Func*, PyObject* const* p, PyObject*) noexcept {
                                     return add_rule(member::is_valid_order_act, kOrderActAppend,
                                                     check_orderact, {p[0]});
                                   }};

}  // namespace ac
