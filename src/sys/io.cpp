#include "sys/io.h"

#include <errno.h>
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

}  // namespace kestro::sys
