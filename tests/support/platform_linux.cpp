#include <stdlib.h>
#include <unistd.h>

#include "support/platform.h"

namespace kestro::test {

const char* other_user_skip_reason() {
  return geteuid() == 0 ? nullptr : "needs root to play two users";
}

uid_t other_user_id() { return 65534; }  // nobody and nogroup on Debian

const char* no_pid_namespace() {
  if (geteuid() != 0) return "making a pid namespace needs root";
  // Root may still be refused one, or its own /proc (in a chroot, say): try it once.
  static const bool works =
      system("/usr/bin/unshare --pid --fork --mount-proc /bin/true >/dev/null 2>&1") == 0;
  return works ? nullptr : "unshare --pid --fork --mount-proc does not work here";
}
const char* non_utf8_name_skip_reason() { return nullptr; }
const char* no_exchange_library() { return KESTRO_NO_EXCHANGE; }
const char* helper_env_entry() { return nullptr; }

}  // namespace kestro::test
