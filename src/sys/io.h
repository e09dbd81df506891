// Writing whole buffers, and the blocking mode of a descriptor.
#pragma once

#include <chrono>
#include <string_view>

#include "sys/expected.h"

namespace kestro::sys {

/// Writes all of `data` to `fd`, continuing short writes and retrying interrupted ones; the
/// errno of the write that failed otherwise (EIO for a write that wrote nothing).
Expected<void, int> write_all(int fd, std::string_view data);

/// As write_all, but while a non-blocking `fd` has no room, waits for it with poll, at most
/// `budget` in all; EAGAIN when the budget runs out with data left.
Expected<void, int> write_all_within(int fd, std::string_view data,
                                     std::chrono::milliseconds budget);

/// Turns O_NONBLOCK on or off for `fd` (its open file description), leaving it alone when it
/// is already so; the errno of the failing fcntl otherwise.
Expected<void, int> set_nonblocking(int fd, bool on);

}  // namespace kestro::sys
