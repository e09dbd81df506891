// Text of a failed system call.
#pragma once

#include <string>

namespace kestro::sys {

/// The system's description of `error_number` as strerror_r gives it.
std::string error_description(int error_number);

/// Description, then " (os error N)": the one way the helper shows a failed system call.
std::string os_error_text(int error_number);

}  // namespace kestro::sys
