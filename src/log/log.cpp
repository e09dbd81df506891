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
  clock_gettime(CLOCK_REALTIME, &now);
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
  // then the open fails with ENXIO and the line is lost like any other. Writes block again,
  // so a slow reader or terminal still gets whole lines.
  sys::UniqueFd fd(sys::retry_eintr([&] {
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  }));
  if (!fd.valid()) return;
  (void)sys::set_nonblocking(fd.get(), false);

  // Stamped after the open: the time tells when the line was written.
  // A failed or short write loses the line; logging never reports.
  (void)sys::write_all(
      fd.get(), format_log_line(wall_clock_seconds(), static_cast<uint64_t>(getpid()), message));
}

}  // namespace kestro
