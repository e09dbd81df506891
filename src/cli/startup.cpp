#include "cli/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/swap_mode.h"
#include "log/log.h"
#include "sys/io.h"
#include "sys/retry.h"

namespace kestro {

namespace {

constexpr char kRefused[] = "bad argv: ";

// The failure line; if standard error has no reader the status stays 1 all the same.
void report_failure(const std::string& message) {
  (void)sys::write_all(STDERR_FILENO, "kestro-update: " + message + "\n");
}

// Opens /dev/null on any of descriptors 0-2 that is closed, so that no file the helper opens
// later lands there and children always find all three; ignores SIGPIPE and SIGXFSZ, so that
// a write to a closed pipe or past the file-size limit fails instead of ending the helper; and
// puts SIGCHLD back to its default.
void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Not close-on-exec: these stand in for the streams children inherit. The lowest free
    // number is `fd` itself, since the ones below it are open by now.
    int opened = sys::retry_eintr([] { return open("/dev/null", O_RDWR); });
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
  (void)signal(SIGPIPE, SIG_IGN);
  // A log that may not grow (a file-size limit) would otherwise end the helper mid-line,
  // with the application already gone; the write fails with EFBIG instead.
  (void)signal(SIGXFSZ, SIG_IGN);
  // An ignored SIGCHLD survives exec and makes the system reap children by itself, so every
  // wait for ditto, osascript or launchctl would fail. Whoever started us may have left it so.
  (void)signal(SIGCHLD, SIG_DFL);
}

// Leaves the application's process group and session.
void leave_application_group() {
  // The application may lead a process group that ends with it: launchd ends what is left of
  // a job's group, and a closing terminal hangs up its own. A session of our own outlives
  // both. A helper that already leads its group (spawned with POSIX_SPAWN_SETPGROUP) cannot
  // start a session, and stays as it is.
  (void)setsid();
}

}  // namespace

int run_main(int argc, const char* const* argv) {
  prepare_process();
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (!args.empty() && args[0] == "--swap") return run_swap_mode(args);
  leave_application_group();
  auto request = parse_args(args);
  if (!request) {
    const std::string message = kRefused + request.error().display();
    log_line(message);
    report_failure(message);
    return 1;
  }
  auto result = run_update(request.value());
  if (!result) {
    report_failure(result.error().message);
    return 1;
  }
  return 0;
}

}  // namespace kestro
