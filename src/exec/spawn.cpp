#include "exec/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "sys/io.h"
#include "sys/os_error.h"
#include "sys/retry.h"

extern char** environ;

namespace kestro {

namespace exec_detail {

namespace {

// posix_spawn's attribute and file-action objects, released on every path out. Each setup
// call reports through its return value, as posix_spawnp does; the first failure is kept and
// nothing is started.
class SpawnSetup {
 public:
  SpawnSetup() {
    attr_ok_ = check(posix_spawnattr_init(&attr_));
    actions_ok_ = check(posix_spawn_file_actions_init(&actions_));
  }
  ~SpawnSetup() {
    if (actions_ok_) posix_spawn_file_actions_destroy(&actions_);
    if (attr_ok_) posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  /// Notes the result of one setup call; true when it succeeded.
  bool check(int result) {
    if (result != 0 && error_ == 0) error_ = result;
    return result == 0;
  }
  int error() const { return error_; }

  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;

 private:
  bool attr_ok_ = false;
  bool actions_ok_ = false;
  int error_ = 0;  // errno of the first failed call
};

// Clears close-on-exec on `fd`, which the child then inherits as it is.
int inherit(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  if (flags == -1) return errno;
  if (fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == -1) return errno;
  return 0;
}

}  // namespace

Expected<pid_t, SpawnError> start_child(const Command& command, const ChildStreams& streams) {
  SpawnSetup setup;
  if (setup.error() != 0) return fail(SpawnError{setup.error()});

  // The helper ignores SIGPIPE and SIGXFSZ, and an ignored disposition survives exec: give
  // the child the defaults back, and an empty signal mask.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigset_t empty;
  sigemptyset(&empty);
  setup.check(posix_spawnattr_setsigdefault(&setup.attr_, &defaults));
  setup.check(posix_spawnattr_setsigmask(&setup.attr_, &empty));
  setup.check(
      posix_spawnattr_setflags(&setup.attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));

  // dup2 onto 0-2 clears close-on-exec on the copies; the originals stay close-on-exec. A
  // stream already on its number would be dup2'ed onto itself, which leaves the flag as it
  // is on some systems: clear it instead.
  const int wanted[3] = {streams.in, streams.out, streams.err};
  for (int target = 0; target < 3; ++target) {
    if (wanted[target] == target) {
      setup.check(inherit(target));
    } else if (wanted[target] >= 0) {
      setup.check(posix_spawn_file_actions_adddup2(&setup.actions_, wanted[target], target));
    }
  }
  if (setup.error() != 0) return fail(SpawnError{setup.error()});

  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const std::string& arg : command.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  std::vector<char*> envp;
  if (command.env) {
    envp.reserve(command.env->size() + 1);
    for (const std::string& entry : *command.env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
  }

  pid_t pid = -1;
  const int error = posix_spawnp(&pid, command.program.c_str(), &setup.actions_, &setup.attr_,
                                 argv.data(), command.env ? envp.data() : environ);
  if (error != 0) return fail(SpawnError{error});
  return pid;
}

Expected<CapturedChild, SpawnError> start_captured(const Command& command, bool nonblocking) {
  sys::UniqueFd ends[2][2];  // [stdout, stderr][read, write]
  for (auto& end : ends) {
    int fds[2];
    if (pipe(fds) != 0) {
      const int error = errno;
      return fail(SpawnError{error});
    }
    end[0].reset(fds[0]);
    end[1].reset(fds[1]);
    // Close-on-exec before any child can be started; non-blocking on the helper's side only.
    if (fcntl(fds[0], F_SETFD, FD_CLOEXEC) != 0 || fcntl(fds[1], F_SETFD, FD_CLOEXEC) != 0) {
      const int error = errno;
      return fail(SpawnError{error});
    }
    if (nonblocking) {
      if (auto set = sys::set_nonblocking(fds[0], true); !set) return fail(SpawnError{set.error()});
    }
  }
  sys::UniqueFd null_in(sys::retry_eintr([] { return open("/dev/null", O_RDONLY | O_CLOEXEC); }));
  if (!null_in.valid()) {
    const int error = errno;
    return fail(SpawnError{error});
  }
  auto pid = start_child(command, {null_in.get(), ends[0][1].get(), ends[1][1].get()});
  if (!pid) return fail(pid.error());
  return CapturedChild{pid.value(), std::move(ends[0][0]), std::move(ends[1][0])};
}

ChildStatus decode_status(int raw) {
  ChildStatus status;
  if (WIFEXITED(raw)) {
    status.code = WEXITSTATUS(raw);
  } else {
    status.kind = ChildStatus::Kind::Signalled;
  }
  return status;
}

CommandResult wait_child(pid_t pid) {
  int raw = 0;
  if (sys::retry_eintr([&] { return waitpid(pid, &raw, 0); }) == -1) {
    int error = errno;
    return fail(SpawnError{error});
  }
  return decode_status(raw);
}

}  // namespace exec_detail

Expected<FoundProgram, int> find_program(const std::string& name) {
  const char* path = getenv("PATH");
  const std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  int error = ENOENT;
  for (size_t begin = 0;;) {
    const size_t end = std::min(folders.find(':', begin), folders.size());
    const std::string folder = folders.substr(begin, end - begin);
    // An empty entry is the working directory, as for the shell.
    const std::string file = (folder.empty() ? "." : folder) + "/" + name;
    struct stat st {};
    if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      if (access(file.c_str(), X_OK) == 0) return FoundProgram{folder, file};
      error = EACCES;
    }
    if (end == folders.size()) return fail(error);
    begin = end + 1;
  }
}

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
