// Waiting for the application that started the helper to exit. Internal to src/run and its
// tests.
#pragma once

#include <chrono>
#include <cstdint>

#include "run/update.h"

namespace kestro {

/// How long to wait at most, and how long to sleep between two probes.
struct WaitLimits {
  std::chrono::nanoseconds limit = std::chrono::seconds(120);
  std::chrono::nanoseconds interval = std::chrono::milliseconds(400);
};

/// Success as soon as a probe (kill with signal 0) of `wait_pid` fails for any reason, or
/// finds a zombie or a process that started after the one the first probe found; the error
/// "timed out waiting for process <pid> to exit" once the limit has passed on the clock that
/// stops during sleep. The first probe is made at once.
UpdateResult wait_for_parent(uint32_t wait_pid, const WaitLimits& limits = {});

}  // namespace kestro
