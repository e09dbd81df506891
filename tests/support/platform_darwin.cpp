#include "support/platform.h"

namespace kestro::test {

const char* no_pid_namespace() { return "macOS has no pid namespaces"; }

}  // namespace kestro::test
