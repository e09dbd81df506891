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

/// Exchanges the names `a` and `b` in one step, on one volume; ENOTSUP where the volume cannot,
/// else the errno (ENOENT, EXDEV, ...).
Expected<void, int> exchange_paths(const std::string& a, const std::string& b);

/// Renames `from` to `to` unless something is at `to` (EEXIST then), never replacing it.
Expected<void, int> rename_no_replace(const std::string& from, const std::string& to);

/// Makes the disk itself hold what was written to the volume of `fd` (F_FULLFSYNC on macOS,
/// fsync where the volume refuses that), or the errno of fsync.
Expected<void, int> full_sync(int fd);

/// What tells a process apart from a later one that gets the same number.
struct ProcessIdentity {
  uint64_t started = 0;  // start time, in the system's own unit
  bool zombie = false;   // ended, not yet reaped by its parent
};

/// The identity of process `pid` (above 0): ESRCH when there is no such process, another
/// errno when it cannot be read (another user's process, say).
Expected<ProcessIdentity, int> process_identity(pid_t pid);

}  // namespace kestro::sys
