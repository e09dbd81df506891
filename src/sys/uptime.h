// Deadlines on the clock that stops while the machine sleeps.
#pragma once

#include <chrono>

#include "sys/platform.h"

namespace kestro::sys {

/// The reading of uptime_now() as a span since that clock's own start.
inline std::chrono::nanoseconds uptime() {
  const timespec now = uptime_now();
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace kestro::sys
