// Whether a folder is safe from other users: nobody but root and us can rename or replace
// anything on the way to it.
#pragma once

#include <string>

#include "sys/expected.h"

namespace kestro::sys {

/// Walks `dir` from / (a relative path from the working directory) one component at a time,
/// following links as the system does. Success when every directory on the way belongs to
/// root or the effective user and is writable by nobody else unless sticky, and every link
/// belongs to root or the effective user; else EACCES, or the errno of a step that failed.
Expected<void, int> check_safe_path(const std::string& dir);

}  // namespace kestro::sys
