#include <unistd.h>

#include "support/platform.h"

namespace kestro::test {

const char* no_pid_namespace() {
  if (geteuid() != 0) return "making a pid namespace needs root";
  if (access("/usr/bin/unshare", X_OK) != 0) return "no /usr/bin/unshare";
  return nullptr;
}

}  // namespace kestro::test
