// Test support: what this machine can do for a test, answered per system by platform_linux.cpp
// or platform_darwin.cpp (tests/CMakeLists.txt picks one). A test that needs what the machine
// lacks skips itself at run time with the reason: GTEST_SKIP() << reason.
#pragma once

#include <sys/types.h>

namespace kestro::test {

/// Why a test cannot act as a second, unprivileged user here; nullptr when it can (root on Linux).
const char* other_user_skip_reason();
/// The user and group id that a test drops to as that second user ("nobody").
uid_t other_user_id();

/// Why a test cannot have a pid namespace of its own here (to hand a chosen process id to a
/// new process), or nullptr when it can.
const char* no_pid_namespace();
/// Why a test cannot give a file a name that is not valid UTF-8 here, or nullptr when it can.
const char* non_utf8_name_skip_reason();
/// A library that, preloaded (LD_PRELOAD), has the exchange of two names fail as on a volume
/// that cannot, or nullptr where a test has no such way (macOS).
const char* no_exchange_library();
/// "NAME=value" that every run of the helper needs in its environment here, or nullptr.
const char* helper_env_entry();

}  // namespace kestro::test
