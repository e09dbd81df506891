#include "run/wait.h"

#include <errno.h>
#include <signal.h>
#include <time.h>

#include <optional>

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

// Whether the process that answered the probe is no longer the one waited for: it has
// ended and waits to be reaped, or its number went to a process that started since `first`.
// `first` is filled in at the first probe that can read the identity.
bool ended_or_replaced(pid_t pid, std::optional<sys::ProcessIdentity>& first) {
  if (pid <= 0) return false;  // a process group: no one identity to compare
  auto now = sys::process_identity(pid);
  if (!now) return now.error() == ESRCH;  // unreadable otherwise: the probe alone decides
  if (now.value().zombie) return true;
  if (!first) first = now.value();
  return now.value().started != first->started;
}

}  // namespace

UpdateResult wait_for_parent(uint32_t wait_pid, const WaitLimits& limits) {
  const timespec deadline = add(sys::uptime_now(), limits.limit);
  // The 32 bits go to kill() unchanged: above 2147483647 that is a negative pid, a group.
  const auto pid = static_cast<pid_t>(static_cast<int32_t>(wait_pid));
  std::optional<sys::ProcessIdentity> first;
  for (;;) {
    if (at_or_past(sys::uptime_now(), deadline)) {
      return fail(
          UpdateError{"timed out waiting for process " + std::to_string(wait_pid) + " to exit"});
    }
    // Any refusal (ESRCH, EPERM, ...) means the parent is no longer ours to wait for. A
    // number that still answers may belong to an unreaped parent or to a newcomer.
    if (kill(pid, 0) != 0 || ended_or_replaced(pid, first)) return {};
    sleep_fully(limits.interval);
  }
}

}  // namespace kestro
