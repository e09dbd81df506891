// Test support: throw-away folders, and runs of the built helper in a sandbox with its own
// HOME, TMPDIR, PATH of stand-in tools and log file.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kestro::test {

/// A fresh directory under $TMPDIR (else /tmp), by its real path; removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool exists(const std::string& path);  // lstat: links count, dangling or not
void make_dirs(const std::string& path);
/// Runs `command` with /bin/sh; fails the test when it does not exit 0.
void shell(const std::string& command);
/// Single-quotes `arg` for sh, as the stand-ins record arguments.
std::string sh_quote(const std::string& arg);

/// How one run of the helper ended.
struct RunResult {
  pid_t pid = -1;
  int exit_code = -1;  // -1 when ended by a signal
  std::string out;
  std::string err;
  double seconds = 0;  // from start until the helper exited
};

/// Extra ways to start the helper.
struct RunOptions {
  bool close_std_fds = false;                // start with descriptors 0, 1 and 2 closed
  bool stderr_no_reader = false;             // standard error is a pipe whose reader is gone
  bool ignore_sigchld = false;               // start with SIGCHLD ignored, as a careless parent may
  std::function<void(pid_t)> while_running;  // called with the helper's pid after start
  long file_size_limit = -1;                 // RLIMIT_FSIZE in bytes; -1 keeps ours
  long open_files_limit = -1;                // RLIMIT_NOFILE; -1 keeps ours
  int umask = -1;                            // -1 keeps ours
  bool unprivileged = false;  // run as "nobody" (the sandbox is handed over) where we may
  double time_limit = 400;    // seconds before the helper is killed as hung
  bool new_session = false;   // start in a session (and process group) of its own
  std::string cwd = "";       // working directory; empty keeps ours
};

/// A folder with home/, tmp/, roottmp/ (root's temporary folder) and bin/, and the environment
/// a run of the helper gets: HOME, TMPDIR (ends in "/"), PATH (bin/ only), KESTRO_UPDATE_LOG and
/// the STANDIN_ switches, which bin/standin.env also holds for the stand-ins.
class Sandbox {
 public:
  Sandbox();
  std::string path(const std::string& name) const { return dir_ / name; }
  const std::string& root() const { return dir_.path(); }
  std::string log_path() const { return path("kestro-update.log"); }
  std::string extract_dir() const { return path("tmp/kestro_update_extract"); }

  /// The stand-in script, copied into the sandbox so that an unprivileged run reaches it, as
  /// the built helper is, at kestro-update.
  std::string standin() const { return path("standin"); }
  /// Puts stand-ins for these tools (default: all six) into bin/.
  void add_tools(const std::vector<std::string>& tools = {"ditto", "osascript", "codesign",
                                                          "getconf", "launchctl", "open"});
  /// Makes bin/`name` a link to `target`.
  void add_tool_link(const std::string& name, const std::string& target);
  void set_env(const std::string& name, const std::string& value) { env_[name] = value; }
  void unset_env(const std::string& name) { env_.erase(name); }

  /// Runs `binary` (default: the built helper) with `args`; waits for the helper and for
  /// every process that inherited its descriptors (the detached `open` among them).
  RunResult run(const std::vector<std::string>& args, const RunOptions& options = {},
                const std::string& binary = "") const;

  /// The messages of the log, each checked for the "[time] pid=N " layout with `pid`.
  std::vector<std::string> log_messages(pid_t pid) const;
  /// The stand-in calls recorded so far, one line each.
  std::vector<std::string> calls() const;

 private:
  TempDir dir_;
  std::map<std::string, std::string> env_;
};

/// The messages of the log at `path`, each line checked for the "[time] pid=N " layout.
std::vector<std::string> log_messages(const std::string& path, pid_t pid);

/// A process that lives `seconds` and then exits; killed on destruction if still running.
class FakeParent {
 public:
  explicit FakeParent(double seconds);
  ~FakeParent();
  FakeParent(const FakeParent&) = delete;
  FakeParent& operator=(const FakeParent&) = delete;
  pid_t pid() const { return pid_; }
  /// Waits for the exit and returns its time on the monotonic clock, in seconds.
  double reap();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

/// Seconds on the monotonic clock.
double now_seconds();

/// A pid that names no process: a child that has been reaped.
pid_t gone_pid();

}  // namespace kestro::test
