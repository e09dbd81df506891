// Linux: the executable path the kernel was given, no per-user temporary directory,
// CLOCK_MONOTONIC, which (unlike CLOCK_BOOTTIME) stops during suspend, process identities
// from /proc, and renameat2 and fsync for the swap.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <string>

#include "sys/fd.h"
#include "sys/fs.h"
#include "sys/platform.h"
#include "sys/retry.h"

namespace kestro::sys {

std::optional<std::string> executable_path() {
  // The path the helper was started by, links not resolved, as macOS reports it: a helper
  // reached through a link must pick the same target bundle on both. /proc/self/exe resolves
  // links, so it is only the fallback.
  // getauxval hands every entry over as an integer, pointers included.
  const auto* started_by =
      reinterpret_cast<const char*>(getauxval(AT_EXECFN));  // NOLINT(performance-no-int-to-ptr)
  if (started_by != nullptr && *started_by != '\0') return std::string(started_by);
  auto resolved = read_link("/proc/self/exe");
  if (!resolved) return std::nullopt;
  return resolved.value();
}

std::optional<std::string> user_temp_dir() { return std::nullopt; }

timespec uptime_now() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);  // fails only for a clock the system lacks
  return now;
}

Expected<ProcessIdentity, int> process_identity(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  UniqueFd fd(retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) {
    const int error = errno;
    return fail(error == ENOENT ? ESRCH : error);
  }
  std::string stat;
  char buffer[512];
  for (;;) {
    const ssize_t n = retry_eintr([&] { return read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) {
      const int error = errno;
      return fail(error);
    }
    if (n == 0) break;
    stat.append(buffer, static_cast<size_t>(n));
  }
  // "pid (command) state ... starttime ...": the command may hold blanks and parentheses, so
  // the fields are counted from the last ')'. The state is field 3, the start time field 22.
  const size_t last_paren = stat.rfind(')');
  if (last_paren == std::string::npos) return fail(EIO);
  const char* at = stat.c_str() + last_paren + 1;
  char state = 0;
  unsigned long long started = 0;
  for (int field = 3; field <= 22; ++field) {
    while (*at == ' ') ++at;
    if (*at == '\0') return fail(EIO);
    if (field == 3) state = *at;
    if (field == 22) started = strtoull(at, nullptr, 10);
    while (*at != ' ' && *at != '\0') ++at;
  }
  return ProcessIdentity{started, state == 'Z' || state == 'X'};
}

Expected<void, int> exchange_paths(const std::string& a, const std::string& b) {
  if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return {};
  const int error = errno;
  // A file system that cannot exchange says EINVAL here; macOS says ENOTSUP.
  return fail(error == EINVAL ? ENOTSUP : error);
}

Expected<void, int> rename_no_replace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  const int error = errno;
  return fail(error);
}

Expected<void, int> full_sync(int fd) {
  // Linux's fsync already waits for the disk's own cache.
  if (retry_eintr([&] { return fsync(fd); }) == 0) return {};
  const int error = errno;
  return fail(error);
}

}  // namespace kestro::sys
