#include "support/harness.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "support/platform.h"

namespace kestro::test {

namespace {

// Descriptor number of the sentinel pipe inside the helper: every process that inherits it
// holds it open, so its end-of-file says that the helper and all its children are gone.
constexpr int kSentinelFd = 20;

void set_cloexec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

}  // namespace

TempDir::TempDir() {
  // By its real path, which the helper sees: on a Mac /tmp and $TMPDIR lead through links.
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/kestro-test-XXXXXX";
  char* real = mkdtemp(templ.data()) == nullptr ? nullptr : realpath(templ.c_str(), nullptr);
  if (real == nullptr) abort();
  path_ = real;
  free(real);
}

TempDir::~TempDir() {
  if (getenv("KESTRO_KEEP_TEST_DIRS") != nullptr) return;
  // Tests make read-only folders at times: give write access back before removing.
  std::string command =
      "chmod -R u+rwx " + sh_quote(path_) + " 2>/dev/null; rm -rf " + sh_quote(path_);
  if (system(command.c_str()) != 0) {
    // Leftovers in /tmp are harmless.
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path) { shell("mkdir -p " + sh_quote(path)); }

void shell(const std::string& command) {
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

std::string sh_quote(const std::string& arg) {
  std::string out = "'";
  for (char c : arg) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

double now_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

pid_t gone_pid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

FakeParent::FakeParent(double seconds) {
  pid_ = fork();
  if (pid_ == 0) {
    timespec span{
        static_cast<time_t>(seconds),
        static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
    while (nanosleep(&span, &span) == -1 && errno == EINTR) {
    }
    _exit(0);
  }
}

FakeParent::~FakeParent() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

double FakeParent::reap() {
  waitpid(pid_, nullptr, 0);
  reaped_ = true;
  return now_seconds();
}

Sandbox::Sandbox() {
  make_dirs(path("home"));
  make_dirs(path("tmp"));
  make_dirs(path("bin"));
  shell("mkdir -m 700 " + sh_quote(path("roottmp")));
  env_["HOME"] = path("home");
  env_["TMPDIR"] = path("tmp") + "/";
  env_["PATH"] = path("bin");
  env_["KESTRO_UPDATE_LOG"] = log_path();
  env_["STANDIN_CALLS"] = path("calls.txt");
  env_["STANDIN_ROOT_TMPDIR"] = path("roottmp") + "/";
  shell("cp " + sh_quote(KESTRO_STANDIN) + " " + sh_quote(standin()) + " && cp " +
        sh_quote(KESTRO_UPDATE_BINARY) + " " + sh_quote(path("kestro-update")));
}

void Sandbox::add_tools(const std::vector<std::string>& tools) {
  for (const std::string& tool : tools) add_tool_link(tool, standin());
}

void Sandbox::add_tool_link(const std::string& name, const std::string& target) {
  std::string link = path("bin/" + name);
  unlink(link.c_str());
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}

RunResult Sandbox::run(const std::vector<std::string>& args, const RunOptions& options,
                       const std::string& binary) const {
  const std::string program = binary.empty() ? KESTRO_UPDATE_BINARY : binary;
  std::vector<std::string> env_strings;
  std::string switches;  // for the stand-ins that get no more than PATH
  for (const auto& [name, value] : env_) {
    env_strings.push_back(name + "=" + value);
    if (name.rfind("STANDIN_", 0) == 0) switches += name + "=" + sh_quote(value) + "\n";
  }
  write_file(path("bin/standin.env"), switches);
  if (const char* entry = helper_env_entry()) env_strings.push_back(entry);
  std::vector<char*> envp;
  for (std::string& entry : env_strings) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_strings) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // "nobody" must be able to reach and change everything in the sandbox.
  const bool drop_root = options.unprivileged && other_user_skip_reason() == nullptr;
  const std::string other = std::to_string(other_user_id());
  if (drop_root) shell("chown -R " + other + ":" + other + " " + sh_quote(root()));

  int out_pipe[2], err_pipe[2], sentinel[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(sentinel) != 0) abort();
  for (int fd : {out_pipe[0], err_pipe[0], sentinel[0]}) set_cloexec(fd);

  RunResult result;
  const double started = now_seconds();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(sentinel[1], kSentinelFd);  // inherited by everything below the helper
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != kSentinelFd) close(fd);
    }
    if (options.close_std_fds) {
      close(0);
      close(1);
      close(2);
    }
    if (options.ignore_sigchld) signal(SIGCHLD, SIG_IGN);  // survives exec
    auto limit = [](int resource, long value) {
      if (value < 0) return;
      rlimit both{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
      if (setrlimit(resource, &both) != 0) _exit(126);
    };
    limit(RLIMIT_FSIZE, options.file_size_limit);
    limit(RLIMIT_NOFILE, options.open_files_limit);
    if (options.umask >= 0) ::umask(static_cast<mode_t>(options.umask));
    if (options.new_session && setsid() < 0) _exit(126);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (drop_root && (setgroups(0, nullptr) != 0 || setgid(other_user_id()) != 0 ||
                      setuid(other_user_id()) != 0)) {
      _exit(126);
    }
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  result.pid = pid;
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(sentinel[1]);
  if (options.stderr_no_reader) close(err_pipe[0]);
  if (options.while_running) options.while_running(pid);

  pollfd fds[3] = {{out_pipe[0], POLLIN, 0},
                   {options.stderr_no_reader ? -1 : err_pipe[0], POLLIN, 0},
                   {sentinel[0], POLLIN, 0}};
  std::string* sinks[3] = {&result.out, &result.err, nullptr};
  bool reaped = false;
  const double give_up = started + options.time_limit;
  while (!reaped || fds[0].fd >= 0 || fds[1].fd >= 0 || fds[2].fd >= 0) {
    if (now_seconds() > give_up) {
      ADD_FAILURE() << "helper or its children did not finish";
      kill(pid, SIGKILL);
      break;
    }
    if (!reaped) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        reaped = true;
        result.seconds = now_seconds() - started;
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
    }
    if (poll(fds, 3, 5) <= 0) continue;
    for (int i = 0; i < 3; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0 && sinks[i] != nullptr) sinks[i]->append(buffer, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR)) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  if (!reaped) waitpid(pid, nullptr, 0);
  return result;
}

std::vector<std::string> Sandbox::log_messages(pid_t pid) const {
  return test::log_messages(log_path(), pid);
}

std::vector<std::string> log_messages(const std::string& path, pid_t pid) {
  static const std::regex layout(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] pid=(\d+) (.*))");
  std::vector<std::string> messages;
  std::istringstream in(read_file(path));
  std::string line;
  while (std::getline(in, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, layout)) {
      ADD_FAILURE() << "log line out of layout: " << line;
      continue;
    }
    EXPECT_EQ(match[1].str(), std::to_string(pid)) << line;
    messages.push_back(match[2].str());
  }
  return messages;
}

std::vector<std::string> Sandbox::calls() const {
  std::vector<std::string> lines;
  std::istringstream in(read_file(path("calls.txt")));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace kestro::test
