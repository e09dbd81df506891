#include "support/platform.h"

namespace kestro::test {

// The tests that play two users hand their folders over with chown and drop with setuid; they
// were written for, and are run on, Linux.
const char* other_user_skip_reason() { return "playing a second user is tested on Linux only"; }

uid_t other_user_id() { return static_cast<uid_t>(-2); }  // nobody on macOS

const char* no_pid_namespace() { return "macOS has no pid namespaces"; }

const char* non_utf8_name_skip_reason() {
  return "APFS and HFS+ refuse names that are not valid UTF-8: Illegal byte sequence (os error 92)";
}
const char* no_exchange_library() { return nullptr; }
// AddressSanitizer on macOS prints a malloc notice on standard error without it.
const char* helper_env_entry() { return "MallocNanoZone=0"; }

}  // namespace kestro::test
