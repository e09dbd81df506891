// run_watched: a child that may keep the helper waiting on a person (osascript and its prompt).
// The helper looks at it every interval instead of blocking in waitpid, so that a limit can
// end it, and reads its pipes only as far as they are ready, keeping a bounded tail.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "exec/spawn.h"
#include "sys/fd.h"
#include "sys/retry.h"
#include "sys/uptime.h"

namespace kestro {

namespace {

using std::chrono::nanoseconds;

enum class Read { Data, Empty, End };

// Reads one chunk of what `fd` holds now into `tail`, keeping only its last `keep` bytes. End
// for end-of-file, and for a pipe that cannot be read, which is then no longer watched.
Read read_tail(int fd, std::string& tail, size_t keep) {
  char chunk[4096];
  const ssize_t n = sys::retry_eintr([&] { return read(fd, chunk, sizeof chunk); });
  if (n > 0) {
    tail.append(chunk, static_cast<size_t>(n));
    if (tail.size() > keep) tail.erase(0, tail.size() - keep);
    return Read::Data;
  }
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Read::Empty : Read::End;
}

// Milliseconds for poll, rounded up so that a deadline is never looked at early.
int poll_timeout(nanoseconds span) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(span, nanoseconds(0)));
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(ms.count(), 60000));
}

}  // namespace

Expected<WatchedOutput, SpawnError> run_watched(const Command& command, const Watch& watch) {
  const nanoseconds started = sys::uptime();
  auto child = exec_detail::start_captured(command, true);
  if (!child) return fail(child.error());
  const pid_t pid = child.value().pid;

  WatchedOutput result;
  sys::UniqueFd* reads[2] = {&child.value().out, &child.value().err};
  std::string* tails[2] = {&result.captured.out, &result.captured.err};
  bool limited = true;
  bool killed = false;
  nanoseconds kill_at{};
  for (;;) {
    int raw = 0;
    const pid_t ended = sys::retry_eintr([&] { return waitpid(pid, &raw, WNOHANG); });
    if (ended == -1) {
      const int error = errno;
      return fail(SpawnError{error});
    }
    if (ended == pid) {
      // What it wrote is in the pipes by now; a bounded read takes it, and whatever a process
      // of its own still writes there is left behind.
      for (int i = 0; i < 2; ++i) {
        for (int chunks = 0; reads[i]->valid() && chunks < 64; ++chunks) {
          if (read_tail(reads[i]->get(), *tails[i], watch.keep) != Read::Data) break;
        }
      }
      result.captured.status = exec_detail::decode_status(raw);
      return result;
    }

    const nanoseconds now = sys::uptime();
    if (limited && !result.ended_at_limit && now - started >= watch.limit) {
      if (watch.give_up && watch.give_up()) {
        kill(pid, SIGTERM);  // our own child, not reaped yet: its pid is still its own
        result.ended_at_limit = true;
        kill_at = now + watch.grace;
      } else {
        limited = false;
      }
    }
    if (result.ended_at_limit && !killed && now >= kill_at) {
      kill(pid, SIGKILL);
      killed = true;
    }

    // Until the next look, or until a pipe has something; a signal only brings the look
    // forward.
    nanoseconds wait = watch.interval;
    if (limited && !result.ended_at_limit) wait = std::min(wait, started + watch.limit - now);
    if (result.ended_at_limit && !killed) wait = std::min(wait, kill_at - now);
    pollfd fds[2] = {{reads[0]->get(), POLLIN, 0}, {reads[1]->get(), POLLIN, 0}};
    if (poll(fds, 2, poll_timeout(wait)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents != 0 && read_tail(fds[i].fd, *tails[i], watch.keep) == Read::End) {
        reads[i]->reset();  // a closed descriptor is -1, which poll passes over
      }
    }
  }
}

}  // namespace kestro
