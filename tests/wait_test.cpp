#include "run/wait.h"

#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "support/harness.h"
#include "support/platform.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using test::now_seconds;

const WaitLimits kShort{2s, 400ms};

TEST(WaitForParent, GoneParentCostsNoWait) {
  const double start = now_seconds();
  EXPECT_TRUE(wait_for_parent(static_cast<uint32_t>(test::gone_pid()), kShort).ok());
  EXPECT_LT(now_seconds() - start, 0.1);
}

TEST(WaitForParent, NoticesAnExitWithinOneInterval) {
  test::FakeParent parent(1.0);
  pid_t pid = parent.pid();
  // Reap the parent from a second process so that the probe really sees it disappear
  // (an unreaped zombie still answers kill).
  const double start = now_seconds();
  bool ok = false;
  double exited = 0;
  std::thread waiter([&] { exited = parent.reap(); });
  ok = wait_for_parent(static_cast<uint32_t>(pid), WaitLimits{10s, 400ms}).ok();
  const double noticed = now_seconds();
  waiter.join();
  EXPECT_TRUE(ok);
  EXPECT_GE(noticed - start, 0.9);
  EXPECT_LE(noticed - exited, 0.4 + 0.05);
}

TEST(WaitForParent, TimesOutWithThePidInTheText) {
  test::FakeParent parent(30.0);
  const double start = now_seconds();
  auto result = wait_for_parent(static_cast<uint32_t>(parent.pid()), WaitLimits{1s, 100ms});
  const double took = now_seconds() - start;
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message,
            "timed out waiting for process " + std::to_string(parent.pid()) + " to exit");
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 1.0 + 0.1 + 0.1);
}

TEST(WaitForParent, LargePidsProbeGroupsAndTimeOut) {
  // 0 is our own process group; 4294967295 becomes -1, every process we may signal.
  for (uint32_t pid : {0u, 4294967295u}) {
    auto result = wait_for_parent(pid, WaitLimits{300ms, 100ms});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message,
              "timed out waiting for process " + std::to_string(pid) + " to exit");
  }
}

TEST(WaitForParent, RefusedProbeCountsAsGone) {
  // The probe of a process we may not signal fails with EPERM. As root, drop to nobody in a
  // child first; either way pid 1 then belongs to someone else.
  pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && setuid(test::other_user_id()) != 0) _exit(3);
    _exit(wait_for_parent(1, WaitLimits{2s, 400ms}).ok() ? 0 : 1);
  }
  const double start = now_seconds();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_LT(now_seconds() - start, 0.3);
}

void on_alarm(int) {}

TEST(WaitForParent, InterruptedSleepsStillWaitTheWholeLimit) {
  // A timer interrupts the sleeps every 10 ms; the wait must neither end early nor probe
  // faster than its interval.
  struct sigaction action {};
  action.sa_handler = on_alarm;  // no SA_RESTART: nanosleep returns EINTR
  struct sigaction old {};
  sigaction(SIGALRM, &action, &old);
  itimerval every{{0, 10000}, {0, 10000}};
  setitimer(ITIMER_REAL, &every, nullptr);

  test::FakeParent parent(30.0);
  const double start = now_seconds();
  auto result = wait_for_parent(static_cast<uint32_t>(parent.pid()), WaitLimits{1s, 400ms});
  const double took = now_seconds() - start;

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_FALSE(result.ok());
  // Probes at 0, 0.4 and 0.8 s; the sleep after the third ends at 1.2 s, past the limit.
  // Sleeps cut short by the timer would end the wait at about 1.0 s instead.
  EXPECT_GE(took, 1.15);
  EXPECT_LT(took, 1.6);
}

}  // namespace
}  // namespace kestro
