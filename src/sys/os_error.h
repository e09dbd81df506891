// Text of a failed system call.
#pragma once

#include <string>

namespace kestro::sys {

/// Description, then " (os error N)": the one way the helper shows a failed system call.
std::string os_error_text(int error_number);

}  // namespace kestro::sys
