#include "exec/spawn.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "sys/os_error.h"
#include "sys/retry.h"

extern char** environ;

namespace kestro {

namespace exec_detail {

namespace {

// posix_spawn's attribute and file-action objects, released on every path out.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

}  // namespace

Expected<pid_t, SpawnError> start_child(const Command& command, const ChildStreams& streams) {
  SpawnSetup setup;

  // The helper ignores SIGPIPE and SIGXFSZ, and an ignored disposition survives exec: give
  // the child the defaults back, and an empty signal mask.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&setup.attr_, &defaults);
  posix_spawnattr_setsigmask(&setup.attr_, &empty);
  posix_spawnattr_setflags(&setup.attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  // dup2 onto 0-2 clears close-on-exec on the copies; the originals stay close-on-exec.
  const int wanted[3] = {streams.in, streams.out, streams.err};
  for (int target = 0; target < 3; ++target) {
    if (wanted[target] >= 0) {
      posix_spawn_file_actions_adddup2(&setup.actions_, wanted[target], target);
    }
  }

  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const std::string& arg : command.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  // posix_spawnp reports through its return value, not errno.
  int error = posix_spawnp(&pid, command.program.c_str(), &setup.actions_, &setup.attr_,
                           argv.data(), environ);
  if (error != 0) return fail(SpawnError{error});
  return pid;
}

CommandResult wait_child(pid_t pid) {
  int raw = 0;
  if (sys::retry_eintr([&] { return waitpid(pid, &raw, 0); }) == -1) {
    int error = errno;
    return fail(SpawnError{error});
  }
  ChildStatus status;
  if (WIFEXITED(raw)) {
    status.code = WEXITSTATUS(raw);
  } else {
    status.kind = ChildStatus::Kind::Signalled;
  }
  return status;
}

}  // namespace exec_detail

std::string SpawnError::text() const { return sys::os_error_text(error_number); }

CommandResult run_command(const Command& command) {
  auto pid = exec_detail::start_child(command, {});
  if (!pid) return fail(pid.error());
  return exec_detail::wait_child(pid.value());
}

Expected<void, SpawnError> spawn_detached(const Command& command) {
  // The child outlives the helper; nobody waits for it.
  auto pid = exec_detail::start_child(command, {});
  if (!pid) return fail(pid.error());
  return {};
}

std::string status_text(const CommandResult& result) {
  if (!result) return "spawn error: " + result.error().text();
  if (result.value().kind == ChildStatus::Kind::Signalled) return "signal";
  return std::to_string(result.value().code);
}

}  // namespace kestro
