// The few calls whose form differs between macOS and other systems. One implementation file
// per system, picked by the build; nothing else in the helper asks which system it runs on.
#pragma once

#include <time.h>

#include <optional>
#include <string>

namespace kestro::sys {

/// Path of the running executable as the system reports it (links and ".." unresolved), or
/// nothing when the system cannot tell.
std::optional<std::string> executable_path();

/// The per-user temporary directory the system reports, or nothing when it has none.
std::optional<std::string> user_temp_dir();

/// Reading of a monotonic clock that does not advance while the machine sleeps.
timespec uptime_now();

}  // namespace kestro::sys
