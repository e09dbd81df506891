#include "run/wait.h"

#include <errno.h>
#include <signal.h>
#include <time.h>

#include "sys/platform.h"

namespace kestro {

namespace {

constexpr long kNanosPerSecond = 1000000000;

timespec add(timespec at, std::chrono::nanoseconds span) {
  const auto count = span.count();
  at.tv_sec += static_cast<time_t>(count / kNanosPerSecond);
  at.tv_nsec += static_cast<long>(count % kNanosPerSecond);
  if (at.tv_nsec >= kNanosPerSecond) {
    at.tv_sec += 1;
    at.tv_nsec -= kNanosPerSecond;
  }
  return at;
}

bool at_or_past(const timespec& now, const timespec& deadline) {
  if (now.tv_sec != deadline.tv_sec) return now.tv_sec > deadline.tv_sec;
  return now.tv_nsec >= deadline.tv_nsec;
}

// Sleeps the whole span, going back to sleep for what is left when a signal interrupts.
void sleep_fully(std::chrono::nanoseconds span) {
  timespec left = add(timespec{0, 0}, span);
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

}  // namespace

UpdateResult wait_for_parent(uint32_t wait_pid, const WaitLimits& limits) {
  const timespec deadline = add(sys::uptime_now(), limits.limit);
  // The 32 bits go to kill() unchanged: above 2147483647 that is a negative pid, a group.
  const auto pid = static_cast<pid_t>(static_cast<int32_t>(wait_pid));
  for (;;) {
    if (at_or_past(sys::uptime_now(), deadline)) {
      return fail(
          UpdateError{"timed out waiting for process " + std::to_string(wait_pid) + " to exit"});
    }
    // Any refusal (ESRCH, EPERM, ...) means the parent is no longer ours to wait for.
    if (kill(pid, 0) != 0) return {};
    sleep_fully(limits.interval);
  }
}

}  // namespace kestro
