// Writing whole buffers, and the blocking mode of a descriptor.
#pragma once

#include <string_view>

#include "sys/expected.h"

namespace kestro::sys {

/// Writes all of `data` to `fd`, continuing short writes and retrying interrupted ones; the
/// errno of the write that failed otherwise (EIO for a write that wrote nothing).
Expected<void, int> write_all(int fd, std::string_view data);

/// Turns O_NONBLOCK on or off for `fd` (its open file description), leaving it alone when it
/// is already so; the errno of the failing fcntl otherwise.
Expected<void, int> set_nonblocking(int fd, bool on);

}  // namespace kestro::sys
