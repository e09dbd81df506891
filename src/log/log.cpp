#include "log/log.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "log/line.h"
#include "paths/paths.h"
#include "sys/fd.h"
#include "sys/fs.h"
#include "sys/io.h"
#include "sys/retry.h"

namespace kestro {

namespace {

uint64_t wall_clock_seconds() {
  timespec now{};
  (void)clock_gettime(CLOCK_REALTIME, &now);  // fails only for a clock the system lacks
  return now.tv_sec < 0 ? 0 : static_cast<uint64_t>(now.tv_sec);
}

}  // namespace

void log_line(std::string_view message) {
  const std::string path = log_file_path();

  auto dir = parent(path);
  if (dir && !dir->empty()) (void)sys::create_directories(*dir, 0777, 0777);  // open decides

  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_size > kLogRotateBytes) {
    (void)rename(path.c_str(), (path + ".1").c_str());  // on failure the big file just grows
  }

  // Non-blocking, or a FIFO at the path with nobody reading would hold the open forever:
  // then the open fails with ENXIO and the line is lost like any other.
  sys::UniqueFd fd(sys::retry_eintr([&] {
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  }));
  if (!fd.valid()) return;
  // Opening /dev/fd/N (or /dev/stderr) may hand back the open file of descriptor N itself,
  // with its blocking mode: that is made non-blocking for this line only, and then given
  // back, since our children share it.
  const int flags = fcntl(fd.get(), F_GETFL);
  const bool shared_blocking = flags != -1 && (flags & O_NONBLOCK) == 0;
  if (shared_blocking) (void)sys::set_nonblocking(fd.get(), true);

  // Stamped after the open: the time tells when the line was written. A reader that does
  // not keep up (a FIFO, a terminal on hold) gets a moment; then the rest of the line is
  // dropped rather than hold the update. Logging never reports.
  (void)sys::write_all_within(
      fd.get(), format_log_line(wall_clock_seconds(), static_cast<uint64_t>(getpid()), message),
      kLogWriteBudget);
  if (shared_blocking) (void)sys::set_nonblocking(fd.get(), false);
}

}  // namespace kestro
