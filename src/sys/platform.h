// The few calls whose form differs between macOS and other systems. One implementation file
// per system, picked by the build; nothing else in the helper asks which system it runs on.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <string>

#include "sys/expected.h"

namespace kestro::sys {

/// Path of the running executable as the system reports it (links and ".." unresolved), or
/// nothing when the system cannot tell.
std::optional<std::string> executable_path();

/// The per-user temporary directory the system reports, or nothing when it has none.
std::optional<std::string> user_temp_dir();

/// Reading of a monotonic clock that does not advance while the machine sleeps.
timespec uptime_now();

/// What tells a process apart from a later one that gets the same number.
struct ProcessIdentity {
  uint64_t started = 0;  // start time, in the system's own unit
  bool zombie = false;   // ended, not yet reaped by its parent
};

/// The identity of process `pid` (above 0): ESRCH when there is no such process, another
/// errno when it cannot be read (another user's process, say).
Expected<ProcessIdentity, int> process_identity(pid_t pid);

}  // namespace kestro::sys
