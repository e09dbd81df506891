// macOS: the executable path from dyld, the per-user temporary directory from confstr, the
// uptime clock, which stops while the machine sleeps, process identities from libproc, and
// renamex_np and F_FULLFSYNC for the swap.
#include <errno.h>
#include <fcntl.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <unistd.h>

#include <vector>

#include "sys/platform.h"
#include "sys/retry.h"

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

Expected<void, int> exchange_paths(const std::string& a, const std::string& b) {
  if (renamex_np(a.c_str(), b.c_str(), RENAME_SWAP) == 0) return {};
  const int error = errno;
  return fail(error);
}

Expected<void, int> rename_no_replace(const std::string& from, const std::string& to) {
  if (renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return {};
  const int error = errno;
  return fail(error);
}

Expected<void, int> full_sync(int fd) {
  // fsync hands the data to the disk, whose own cache may still lose it in a power cut; only
  // F_FULLFSYNC waits until the disk has it. Some volumes (network, FAT) refuse it.
  if (fcntl(fd, F_FULLFSYNC) == 0) return {};
  if (retry_eintr([&] { return fsync(fd); }) == 0) return {};
  const int error = errno;
  return fail(error);
}

}  // namespace kestro::sys
