#include "runtime/message_keys.h"

namespace ac {
namespace key {

#define AC_DEFINE_MESSAGE_KEY(name, text) Name name{text};
AC_MESSAGE_KEYS(AC_DEFINE_MESSAGE_KEY)
#undef AC_DEFINE_MESSAGE_KEY

}  // namespace key
}  // namespace ac
