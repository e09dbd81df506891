#include "sys/io.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "sys/retry.h"

namespace kestro::sys {

Expected<void, int> write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = retry_eintr([&] { return write(fd, data.data(), data.size()); });
    if (n < 0) {
      const int error = errno;
      return fail(error);
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
