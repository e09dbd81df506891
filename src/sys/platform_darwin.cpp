// macOS: the executable path from dyld, the per-user temporary directory from confstr, the
// uptime clock, which stops while the machine sleeps, and process identities from libproc.
#include <errno.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <stdint.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
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
  (void)clock_gettime(CLOCK_UPTIME_RAW, &now);  // fails only for a clock the system lacks
  return now;
}

Expected<ProcessIdentity, int> process_identity(pid_t pid) {
  proc_bsdinfo info{};
  const int size = proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info);
  if (size <= 0) {
    const int error = errno;
    return fail(error != 0 ? error : EIO);  // cannot tell: not taken as gone
  }
  if (static_cast<size_t>(size) < sizeof info) return fail(EIO);
  const uint64_t started = info.pbi_start_tvsec * 1000000 + info.pbi_start_tvusec;
  return ProcessIdentity{started, info.pbi_status == SZOMB};
}

}  // namespace kestro::sys
