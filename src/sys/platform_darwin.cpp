// macOS: the executable path from dyld, the per-user temporary directory from confstr, and
// the uptime clock, which stops while the machine sleeps.
#include <mach-o/dyld.h>
#include <stdint.h>
#include <unistd.h>

#include <vector>

#include "sys/platform.h"

namespace kestro::sys {

std::optional<std::string> executable_path() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);  // only asks for the size
  std::vector<char> buffer(size + 1, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return std::nullopt;
  return std::string(buffer.data());
}

std::optional<std::string> user_temp_dir() {
  size_t size = confstr(_CS_DARWIN_USER_TEMP_DIR, nullptr, 0);
  if (size == 0) return std::nullopt;
  std::vector<char> buffer(size, '\0');
  if (confstr(_CS_DARWIN_USER_TEMP_DIR, buffer.data(), buffer.size()) == 0) return std::nullopt;
  return std::string(buffer.data());
}

timespec uptime_now() {
  timespec now{};
  clock_gettime(CLOCK_UPTIME_RAW, &now);
  return now;
}

}  // namespace kestro::sys
