#include "exec/exec.h"
#include "exec/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/env.h"
#include "support/harness.h"

namespace kestro {
namespace {

// The test binary itself plays the child (see test_main.cpp); the mode travels in the
// environment, which children inherit.
class ChildMode : public test::ScopedEnv {
 public:
  explicit ChildMode(const std::string& mode) : ScopedEnv("KESTRO_TEST_CHILD", mode.c_str()) {}
};

Command self(std::vector<std::string> args = {}) { return {KESTRO_TEST_BINARY, std::move(args)}; }

TEST(RunCommand, DecodesHowTheChildEnded) {
  const struct {
    const char* mode;
    const char* text;
    bool success;
  } cases[] = {
      {"exit:0", "0", true},
      {"exit:1", "1", false},
      {"exit:255", "255", false},
      {"kill", "signal", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ChildMode mode(c.mode);
    auto result = run_command(self());
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().success(), c.success);
    EXPECT_EQ(status_text(result), c.text);
  }
}

TEST(RunCommand, MissingProgramIsASpawnError) {
  auto result = run_command({"kestro-no-such-tool", {}});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().error_number, ENOENT);
  EXPECT_EQ(result.error().text(), "No such file or directory (os error 2)");
  EXPECT_EQ(status_text(result), "spawn error: No such file or directory (os error 2)");
  EXPECT_FALSE(run_capture({"kestro-no-such-tool", {}}).ok());
  EXPECT_FALSE(spawn_detached({"kestro-no-such-tool", {}}).ok());
}

TEST(RunCommand, PassesEachArgumentUnsplit) {
  test::TempDir dir;
  const std::string out = dir / "args";
  auto result = run_command(
      {"sh", {"-c", "printf '[%s]' \"$@\" > \"$0\"", out, "a b", "", "'\"$x;", "\xff"}});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(test::read_file(out), "[a b][]['\"$x;][\xff]");
}

TEST(RunCapture, DrainsBothFloodingStreams) {
  const long total = 8L * 1024 * 1024;  // far beyond a pipe's capacity, on both streams
  ChildMode mode("flood:" + std::to_string(total));
  auto result = run_capture(self());
  ASSERT_TRUE(result.ok()) << result.error().text();
  const CapturedOutput& captured = result.value();
  EXPECT_TRUE(captured.status.success());
  ASSERT_EQ(captured.out.size(), static_cast<size_t>(total));
  ASSERT_EQ(captured.err.size(), static_cast<size_t>(total));
  for (size_t block = 0; block < captured.out.size() / 4096; ++block) {
    ASSERT_EQ(captured.out[block * 4096], 'a' + static_cast<int>(block % 26)) << block;
    ASSERT_EQ(captured.err[block * 4096 + 4095], 'A' + static_cast<int>(block % 26)) << block;
  }
}

TEST(RunCapture, StdinIsTheNullDeviceAndStatusIsKept) {
  // "o" comes alone, so that a read of a single byte is kept too.
  auto result = run_capture({"sh", {"-c", "cat; printf o; sleep 0.1; echo ut; echo err >&2; exit 3"}});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().out, "out\n");
  EXPECT_EQ(result.value().err, "err\n");
  EXPECT_EQ(result.value().status.code, 3);
}

TEST(Spawn, ChildGetsNoHelperDescriptorsAndDefaultSignals) {
  // Descriptors the test process opened close-on-exec must not show up; SIGPIPE and SIGXFSZ
  // are ignored here, as in the helper, and must be back at default in the child.
  test::TempDir dir;
  int fd = open((dir / "held").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  // What the test process itself inherited without close-on-exec may pass on; nothing else.
  std::string inheritable;
  for (int i = 3; i < 1024; ++i) {
    int flags = fcntl(i, F_GETFD);
    if (flags != -1 && (flags & FD_CLOEXEC) == 0) inheritable += " " + std::to_string(i);
  }
  auto old_pipe = signal(SIGPIPE, SIG_IGN);
  auto old_xfsz = signal(SIGXFSZ, SIG_IGN);
  {
    ChildMode mode("fds");
    auto result = run_capture(self());
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().out, inheritable + "\n");
  }
  {
    ChildMode mode("signals");
    auto result = run_capture(self());
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().out, "SIGPIPE default, SIGXFSZ default\n");
  }
  signal(SIGPIPE, old_pipe);
  signal(SIGXFSZ, old_xfsz);
  close(fd);
}

TEST(StartChild, FailedSetupStartsNothing) {
  // A descriptor number past any limit makes the file action itself fail.
  auto pid = exec_detail::start_child({"true", {}}, {-1, 1 << 24, -1});
  ASSERT_FALSE(pid.ok());
  EXPECT_EQ(pid.error().error_number, EBADF);
}

TEST(StartChild, StreamAlreadyOnItsNumberReachesTheChild) {
  // In a forked copy of this process, standard output becomes a close-on-exec pipe and is
  // handed to the child as its standard output.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t copy = fork();
  if (copy == 0) {
    dup2(fds[1], 1);
    fcntl(1, F_SETFD, FD_CLOEXEC);
    close(fds[0]);
    close(fds[1]);
    auto child = exec_detail::start_child({"sh", {"-c", "echo reached"}}, {-1, 1, -1});
    if (!child) _exit(2);
    auto status = exec_detail::wait_child(child.value());
    _exit(status && status.value().success() ? 0 : 3);
  }
  close(fds[1]);
  std::string out;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(copy, &status, 0), copy);
  EXPECT_EQ(out, "reached\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(RunCapture, StopAndContinueWhileDrainingChangesNothing) {
  // A forked copy of this process captures a flood while we stop and continue it; it exits 0
  // only when every byte arrived.
  ChildMode mode("flood:" + std::to_string(4L * 1024 * 1024));
  pid_t pid = fork();
  if (pid == 0) {
    auto result = run_capture(self());
    _exit(result.ok() && result.value().status.success() &&
                  result.value().out.size() == size_t{4} * 1024 * 1024 &&
                  result.value().err.size() == size_t{4} * 1024 * 1024
              ? 0
              : 1);
  }
  for (int i = 0; i < 5; ++i) {
    usleep(2000);
    kill(pid, SIGSTOP);
    usleep(20000);
    kill(pid, SIGCONT);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(SpawnDetached, DoesNotWait) {
  test::TempDir dir;
  const double start = test::now_seconds();
  auto started = spawn_detached({"sh", {"-c", "sleep 1; : > \"$0\"", dir / "done"}});
  ASSERT_TRUE(started.ok());
  EXPECT_LT(test::now_seconds() - start, 0.5);
  EXPECT_FALSE(test::exists(dir / "done"));
  while (waitpid(-1, nullptr, 0) > 0) {
  }  // reap it here, so the folder outlives it
  EXPECT_TRUE(test::exists(dir / "done"));
}

}  // namespace
}  // namespace kestro
