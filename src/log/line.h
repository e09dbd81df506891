// The pieces of a log line and where it goes. Internal to src/log and its tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestro {

/// Size above which the log is moved to its ".1" name before the next line is written.
constexpr off_t kLogRotateBytes = 1048576;

/// The longest a line waits for a log reader to make room before the rest of it is dropped.
constexpr std::chrono::milliseconds kLogWriteBudget{500};

/// Where the next line goes: KESTRO_UPDATE_LOG if set and non-empty, else
/// HOME/Library/Logs/kestro-update.log if HOME is set and non-empty, else
/// <system temporary directory>/kestro-update.log.
std::string log_file_path();

/// "YYYY-MM-DDTHH:MM:SSZ" for `seconds` since 1970 in the proleptic Gregorian calendar; the
/// year has at least four digits.
std::string utc_timestamp(uint64_t seconds);

/// One whole log line, newline included.
std::string format_log_line(uint64_t seconds, uint64_t pid, std::string_view message);

}  // namespace kestro
