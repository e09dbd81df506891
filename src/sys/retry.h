// Repeats a system call that a signal interrupted.
#pragma once

#include <cerrno>

namespace kestro::sys {

/// Calls `call` until it returns something other than -1 with errno EINTR; errno is left as
/// the last attempt set it. Not for close(), whose descriptor is gone after EINTR.
template <typename Call>
auto retry_eintr(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace kestro::sys
