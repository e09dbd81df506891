#include "sys/os_error.h"

#include <string.h>

namespace kestro::sys {

namespace {

// strerror_r comes in two shapes: the XSI one (macOS, and glibc without _GNU_SOURCE) returns
// an int and fills the buffer; the GNU one returns the text, which may or may not be the
// buffer. Overloading on the return type serves both without asking which system this is.
[[maybe_unused]] const char* pick_text(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pick_text(const char* result, const char* /*buffer*/) {
  return result;
}

// The system's description of `error_number` as strerror_r gives it.
std::string error_description(int error_number) {
  char buffer[256] = {};
  const char* text = pick_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error: " + std::to_string(error_number);
  return text;
}

}  // namespace

std::string os_error_text(int error_number) {
  return error_description(error_number) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace kestro::sys
