#include <unistd.h>

#include "support/platform.h"

namespace kestro::test {

const char* other_user_skip_reason() {
  return geteuid() == 0 ? nullptr : "needs root to play two users";
}

uid_t other_user_id() { return 65534; }  // nobody and nogroup on Debian

}  // namespace kestro::test
