#include "log/line.h"

#include <stdlib.h>

#include "paths/paths.h"
#include "paths/temp_dir.h"

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

}  // namespace kestro
