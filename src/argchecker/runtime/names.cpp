#include "runtime/names.h"

namespace ac {

static int g_hot_names = 0;

HotName::HotName(const char* text) noexcept : Name(text), index_(g_hot_names < kMax ? g_hot_names++ : -1) {}

PyObject* Name::kwnames() noexcept {
  if (!kwnames_) kwnames_ = PyTuple_Pack(1, obj_);
  return kwnames_;
}

bool Name::make_ready(PyObject*) noexcept {
  obj_ = PyUnicode_InternFromString(text_);
  return obj_ != nullptr;
}

namespace names {
HotName rules{"rules"}, arg_name{"arg_name"}, verify{"verify"}, ArgumentChecker{"ArgumentChecker"},
    inspect{"inspect"}, unwrapper{"unwrapper"};
Name module_name{"tframe.utils.argchecker"};
Name append{"append"}, format{"format"}, dunder_name{"__name__"}, lower{"lower"}, upper{"upper"},
    strip{"strip"}, datetime{"datetime"}, strptime{"strptime"}, match{"match"};
Name InvalidParamError{"InvalidParamError"}, text{"text"}, np{"np"}, write_userlog{"write_userlog"},
    traceback{"traceback"}, wraps{"wraps"}, os{"os"}, Timestamp{"Timestamp"}, re{"re"}, types{"types"},
    get_setting{"get_setting"}, to_datetime{"to_datetime"};
}  // namespace names

}  // namespace ac
