// Test support: what this machine can do for a test that only some systems allow. One
// implementation file per system, picked by the build; a test that cannot run here is
// skipped with the reason.
#pragma once

namespace kestro::test {

/// Why a test cannot have a pid namespace of its own here (to hand a chosen process id to a
/// new process), or nullptr when it can.
const char* no_pid_namespace();

}  // namespace kestro::test
