#include "sys/io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "sys/retry.h"

namespace kestro::sys {

Expected<void, int> write_all(int fd, std::string_view data) {
  return write_all_within(fd, data, std::chrono::milliseconds(0));
}

Expected<void, int> write_all_within(int fd, std::string_view data,
                                     std::chrono::milliseconds budget) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + budget;
  while (!data.empty()) {
    const ssize_t n = retry_eintr([&] { return write(fd, data.data(), data.size()); });
    if (n < 0) {
      const int error = errno;
      if (error != EAGAIN && error != EWOULDBLOCK) return fail(error);
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return fail(error);
      pollfd ready{fd, POLLOUT, 0};
      // Whatever poll says, the next write tells; an interruption only costs a round.
      (void)poll(&ready, 1, static_cast<int>(left.count()));
      continue;
    }
    if (n == 0) return fail(EIO);
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

Expected<void, int> set_nonblocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1) {
    const int error = errno;
    return fail(error);
  }
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && fcntl(fd, F_SETFL, wanted) == -1) {
    const int error = errno;
    return fail(error);
  }
  return {};
}

}  // namespace kestro::sys
