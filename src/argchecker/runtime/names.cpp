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
HotName rules{"rules"}, arg_name{"arg_name"}, verify{"verify"}, g_ArgumentChecker{"ArgumentChecker"},
    g_inspect{"inspect"}, g_unwrapper{"unwrapper"};
Name module_name{"tframe.utils.argchecker"};
Name append{"append"}, format{"format"}, dunder_name{"__name__"}, lower{"lower"}, upper{"upper"},
    strip{"strip"}, datetime{"datetime"}, strptime{"strptime"}, match{"match"};
Name g_InvalidParamError{"InvalidParamError"}, g_text{"text"}, g_np{"np"}, g_write_userlog{"write_userlog"},
    g_traceback{"traceback"}, g_wraps{"wraps"}, g_os{"os"}, g_datetime{"datetime"}, g_Timestamp{"Timestamp"},
    g_re{"re"}, g_types{"types"}, g_get_setting{"get_setting"}, g_to_datetime{"to_datetime"};
}  // namespace names

}  // namespace ac
