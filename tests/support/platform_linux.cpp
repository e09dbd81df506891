#include <unistd.h>

#include "support/platform.h"

namespace kestro::test {

const char* other_user_skip_reason() {
  return geteuid() == 0 ? nullptr : "needs root to play two users";
}

uid_t other_user_id() { return 65534; }  // nobody and nogroup on Debian

const char* no_pid_namespace() {
  if (geteuid() != 0) return "making a pid namespace needs root";
  if (access("/usr/bin/unshare", X_OK) != 0) return "no /usr/bin/unshare";
  return nullptr;
}

}  // namespace kestro::test
