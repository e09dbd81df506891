// Linux: the executable path the kernel was given, no per-user temporary directory, and
// CLOCK_MONOTONIC, which (unlike CLOCK_BOOTTIME) stops during suspend.
#include <errno.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <vector>

#include "sys/platform.h"

namespace kestro::sys {

std::optional<std::string> executable_path() {
  // The path the helper was started by, links not resolved, as macOS reports it: a helper
  // reached through a link must pick the same target bundle on both. /proc/self/exe resolves
  // links, so it is only the fallback.
  // getauxval hands every entry over as an integer, pointers included.
  const auto* started_by =
      reinterpret_cast<const char*>(getauxval(AT_EXECFN));  // NOLINT(performance-no-int-to-ptr)
  if (started_by != nullptr && *started_by != '\0') return std::string(started_by);
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
