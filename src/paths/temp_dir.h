// The system temporary directory, which holds the extraction directory and, as a last
// resort, the log.
#pragma once

#include <string>

namespace kestro {

/// TMPDIR when set (even empty), else the per-user temporary directory the system reports,
/// else "/tmp"; read from the environment on every call.
std::string system_temp_dir();

}  // namespace kestro
