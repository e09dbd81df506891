// Writing whole buffers.
#pragma once

#include <string_view>

#include "sys/expected.h"

namespace kestro::sys {

/// Writes all of `data` to `fd`, continuing short writes and retrying interrupted ones; the
/// errno of the write that failed otherwise (EIO for a write that wrote nothing).
Expected<void, int> write_all(int fd, std::string_view data);

}  // namespace kestro::sys
