#include "log/log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "paths/paths.h"
#include "sys/fd.h"
#include "sys/fs.h"
#include "sys/retry.h"

namespace kestro {

namespace {

const char* non_empty_env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

void append_padded(std::string& out, uint64_t value, int width) {
  std::string digits = std::to_string(value);
  if (digits.size() < static_cast<size_t>(width)) out.append(width - digits.size(), '0');
  out += digits;
}

uint64_t wall_clock_seconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec < 0 ? 0 : static_cast<uint64_t>(now.tv_sec);
}

void write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = sys::retry_eintr([&] { return write(fd, data.data() + done, data.size() - done); });
    if (n <= 0) return;  // the line is lost; logging never reports
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::string log_file_path() {
  if (const char* explicit_path = non_empty_env("KESTRO_UPDATE_LOG")) return explicit_path;
  if (const char* home = non_empty_env("HOME")) {
    return join(join(home, "Library/Logs"), "kestro-update.log");
  }
  return join(system_temp_dir(), "kestro-update.log");
}

std::string utc_timestamp(uint64_t seconds) {
  // Howard Hinnant's civil_from_days, all values non-negative.
  const uint64_t days = seconds / 86400;
  const uint64_t second_of_day = seconds % 86400;
  const uint64_t z = days + 719468;
  const uint64_t era = z / 146097;
  const uint64_t doe = z - era * 146097;
  const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const uint64_t mp = (5 * doy + 2) / 153;
  const uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

  std::string out;
  out.reserve(20);
  append_padded(out, year, 4);
  out += '-';
  append_padded(out, month, 2);
  out += '-';
  append_padded(out, day, 2);
  out += 'T';
  append_padded(out, second_of_day / 3600, 2);
  out += ':';
  append_padded(out, second_of_day % 3600 / 60, 2);
  out += ':';
  append_padded(out, second_of_day % 60, 2);
  out += 'Z';
  return out;
}

std::string format_log_line(uint64_t seconds, uint64_t pid, std::string_view message) {
  std::string line;
  line.reserve(32 + message.size());
  line += '[';
  line += utc_timestamp(seconds);
  line += "] pid=";
  line += std::to_string(pid);
  line += ' ';
  line += message;
  line += '\n';
  return line;
}

void log_line(std::string_view message) {
  const std::string path = log_file_path();

  auto dir = parent(path);
  if (dir && !dir->empty()) sys::create_directories(*dir, 0777, 0777);  // failure: open decides

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
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags != -1 && (flags & O_NONBLOCK) != 0) {
    (void)fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  }

  // Stamped after the open: the time tells when the line was written.
  write_all(fd.get(),
            format_log_line(wall_clock_seconds(), static_cast<uint64_t>(getpid()), message));
}

}  // namespace kestro
