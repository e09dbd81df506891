#include "run/wait.h"

#include <errno.h>
#include <signal.h>
#include <time.h>

#include <optional>

#include "sys/platform.h"
#include "sys/uptime.h"

namespace kestro {

namespace {

// Sleeps the whole span, going back to sleep for what is left when a signal interrupts.
void sleep_fully(std::chrono::nanoseconds span) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
  timespec left{static_cast<time_t>(seconds.count()), static_cast<long>((span - seconds).count())};
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
  const std::chrono::nanoseconds deadline = sys::uptime() + limits.limit;
  // The 32 bits go to kill() unchanged: above 2147483647 that is a negative pid, a group.
  const auto pid = static_cast<pid_t>(static_cast<int32_t>(wait_pid));
  std::optional<sys::ProcessIdentity> first;
  for (;;) {
    if (sys::uptime() >= deadline) {
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
