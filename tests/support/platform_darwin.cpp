#include "support/platform.h"

namespace kestro::test {

// The tests that play two users hand their folders over with chown and drop with setuid; they
// were written for, and are run on, Linux.
const char* other_user_skip_reason() { return "playing a second user is tested on Linux only"; }

uid_t other_user_id() { return static_cast<uid_t>(-2); }  // nobody on macOS

const char* no_pid_namespace() { return "macOS has no pid namespaces"; }

}  // namespace kestro::test
