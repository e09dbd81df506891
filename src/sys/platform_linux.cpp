// Linux: the executable path from /proc, no per-user temporary directory, and
// CLOCK_MONOTONIC, which (unlike CLOCK_BOOTTIME) stops during suspend.
#include <errno.h>
#include <unistd.h>

#include <vector>

#include "sys/platform.h"

namespace kestro::sys {

std::optional<std::string> executable_path() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);  // possibly truncated: try again with more room
  }
}

std::optional<std::string> user_temp_dir() { return std::nullopt; }

timespec uptime_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

}  // namespace kestro::sys
