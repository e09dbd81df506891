// The built helper, run as the application runs it, in a sandbox with stand-in tools.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/harness.h"
#include "support/platform.h"

namespace kestro {
namespace {

using test::FakeParent;
using test::RunOptions;
using test::RunResult;
using test::Sandbox;

const char kNoApp[] =
    " - THIS MACHINE NOW HAS NO APP RUNNING and, if nobody is at it, is unreachable until "
    "someone starts it";

std::vector<std::string> args_for(pid_t pid, const std::string& install,
                                  const std::string& relaunch) {
  return {"--wait-pid", std::to_string(pid), "--install", install, "--relaunch", relaunch};
}

// Runs the helper while a thread reaps `parent` the moment it exits: an unreaped child
// would stay visible to the helper's probe.
RunResult run_with_parent(const Sandbox& box, FakeParent& parent,
                          const std::vector<std::string>& args, double* exited = nullptr,
                          const RunOptions& options = {}) {
  double exit_time = 0;
  std::thread reaper([&] { exit_time = parent.reap(); });
  RunResult result = box.run(args, options);
  reaper.join();
  if (exited != nullptr) *exited = exit_time;
  return result;
}

TEST(Refused, OneLogLineOneErrorLineStatusOneNothingStarted) {
  FakeParent alive(30);  // named by --wait-pid, yet never waited for
  const std::string pid = std::to_string(alive.pid());
  const struct {
    std::vector<std::string> args;
    const char* display;
  } cases[] = {
      {{}, "MissingFlag(\"--wait-pid\")"},
      {{"--wait-pid", pid, "--install", "a.zip"}, "MissingFlag(\"--relaunch\")"},
      {{"--wait-pid", pid, "--install", "a.zip", "--relaunch", "/A/K.app", "x"},
       "MissingFlag(\"unknown positional\")"},
      {{"--help"}, "MissingFlag(\"unknown flag\")"},
      {{"--wait-pid", "-1"}, "InvalidPid"},
      {{"--install", ""}, "EmptyPath"},
      {{"--wait-pid", pid, "--install", "\xff.zip", "--relaunch", "/A/K.app"}, "InvalidUtf8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.display);
    Sandbox box;
    box.add_tools();
    RunResult result = box.run(c.args);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, std::string("kestro-update: bad argv: ") + c.display + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(box.log_messages(result.pid),
              std::vector<std::string>{std::string("bad argv: ") + c.display});
    EXPECT_FALSE(test::exists(box.path("calls.txt")));  // no tool started
    EXPECT_LT(result.seconds, 0.4);
  }
}

TEST(Swap, ExchangesOrRenamesAndRefusesAllElseWithoutALog) {
  const char* refused = "--swap takes three absolute paths: NEW INSTALLED BACKUP";
  const struct {
    const char* args;   // after --swap, split at blanks; @ stands for the sandbox
    bool renames;       // the volume cannot exchange names
    const char* error;  // "": swapped
  } cases[] = {
      {"@/new @/app @/app.bak", false, ""},
      {"@/new @/app @/app.bak", true, ""},
      {"", false, refused},
      {"new @/app @/app.bak", false, refused},
      {"@/new @/app @/app.bak @/x", false, refused},
      {"@/new @/none @/app.bak", false,
       "cannot exchange @/new and @/none: No such file or directory (os error 2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.args) + (c.renames ? " renaming" : ""));
    if (c.renames && test::no_exchange_library() == nullptr) {
      std::cout << "skipped the two renames: only Linux lets a test preload a library\n";
      continue;
    }
    Sandbox box;
    if (c.renames) box.set_env("LD_PRELOAD", test::no_exchange_library());
    box.set_env("ASAN_OPTIONS", "verify_asan_link_order=0");  // ahead of a helper built with ASan
    test::shell("cd " + test::sh_quote(box.root()) + " && mkdir -p new/d app/d app.bak/d && " +
                "echo 2 >new/d/v && echo 1 >app/d/v && echo 0 >app.bak/d/v");
    auto in_box = [&](std::string text) {
      for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, box.root());
      return text;
    };
    std::vector<std::string> args = {"--swap"};
    std::istringstream words(in_box(c.args));
    for (std::string word; words >> word;) args.push_back(word);
    const bool swapped = *c.error == '\0';
    RunResult result = box.run(args);
    EXPECT_EQ(result.exit_code, swapped ? 0 : 1);
    EXPECT_EQ(result.err, swapped ? "" : "kestro-update: " + in_box(c.error) + "\n");
    EXPECT_EQ(test::read_file(box.path("app/d/v")) + test::read_file(box.path("app.bak/d/v")) +
                  (test::exists(box.path("new")) ? "new" : ""),
              swapped ? "2\n1\n" : "1\n0\nnew");
    EXPECT_FALSE(test::exists(box.log_path()));  // root's run writes no log among our files
  }
}

TEST(Run, GoneParentFailedApplyRelaunchesTheInstalledBuild) {
  Sandbox box;
  box.add_tools();
  const std::string relaunch = "/Applications/Kestro.app/Contents/MacOS/Kestro";
  const pid_t gone = test::gone_pid();
  RunResult result = box.run(args_for(gone, box.path("missing.zip"), relaunch));
  const auto log = box.log_messages(result.pid);
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(log[0], "start: wait_pid=" + std::to_string(gone) + " install=" +
                        box.path("missing.zip") + " relaunch=" + relaunch + " os=macos");
  EXPECT_EQ(log[1], "parent exited; applying artifact");
  const std::string& failed = log[log.size() - 3];
  ASSERT_EQ(failed.rfind("FAILED at apply: ", 0), 0u) << failed;
  EXPECT_EQ(log[log.size() - 2], "open /Applications/Kestro.app");
  EXPECT_EQ(log.back(), "relaunched " + relaunch +
                            " after the failed apply; the machine keeps the build it had");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "kestro-update: " + failed.substr(17) + "\n");
  EXPECT_EQ(box.calls().back(), "open '/Applications/Kestro.app'");
  EXPECT_LT(result.seconds, 0.4);  // no pause for a parent that is already gone
}

TEST(Run, StartLineCarriesTheCommandLineAsGiven) {
  Sandbox box;
  box.add_tools();
  pid_t gone = test::gone_pid();
  RunResult result = box.run({"--relaunch", "K\xc3\xa9.app/", "--install", " a b.zip", "--wait-pid",
                              "+0" + std::to_string(gone)});
  const auto log = box.log_messages(result.pid);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "start: wait_pid=" + std::to_string(gone) +
                        " install= a b.zip relaunch=K\xc3\xa9.app/ os=macos");
  EXPECT_EQ(box.calls().back(), "open 'K\xc3\xa9.app/'");
}

TEST(Run, MissingOpenLeavesTheMachineWithoutItsApp) {
  Sandbox box;
  box.add_tools({"ditto", "osascript", "launchctl"});
  RunResult result = box.run(args_for(test::gone_pid(), box.path("missing.zip"), "/usr/bin/k"));
  const auto log = box.log_messages(result.pid);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[log.size() - 2], "open /usr/bin/k");
  EXPECT_EQ(log.back(), std::string("FAILED at relaunch after a failed apply: ") +
                            "No such file or directory (os error 2)" + kNoApp);
  // Standard error names the apply error, not the relaunch one.
  EXPECT_EQ(result.err, "kestro-update: " + log[log.size() - 3].substr(17) + "\n");
  EXPECT_EQ(result.exit_code, 1);
}

TEST(Wait, ExitingParentIsNoticedWithinOnePollInterval) {
  Sandbox box;
  box.add_tools();
  FakeParent parent(1.5);  // between two probes, 0.1 s before the next one
  double exited = 0;
  const double start = test::now_seconds();
  RunResult result =
      run_with_parent(box, parent, args_for(parent.pid(), box.path("u.zip"), "/A/K.app"), &exited);
  const double helper_end = start + result.seconds;
  EXPECT_GE(result.seconds, 1.4);
  EXPECT_LT(helper_end - exited, 0.4 + 0.2);  // one interval, plus the failing apply
  EXPECT_EQ(box.log_messages(result.pid).at(1), "parent exited; applying artifact");
}

TEST(Wait, ExitedButUnreapedParentCountsAsGone) {
  Sandbox box;
  box.add_tools();
  FakeParent parent(0.5);  // nobody reaps it before the run is over
  RunOptions options;
  options.time_limit = 30;
  RunResult result = box.run(args_for(parent.pid(), box.path("u.zip"), "/A/K.app"), options);
  const auto log = box.log_messages(result.pid);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[1], "parent exited; applying artifact");
}

TEST(Wait, ParentsNumberTakenByANewcomerCountsAsGone) {
  if (const char* why = test::no_pid_namespace()) GTEST_SKIP() << why;
  Sandbox box;
  box.add_tools();
  // In a pid namespace of its own the script can hand the application's number to a newcomer
  // while the helper is stopped between two probes, the first of which saw the application.
  const char* script = R"(export PATH="$PATH:/usr/bin:/bin"
sleep 60 & app=$!
"$0" --wait-pid $app --install "$1" --relaunch /A/K.app & helper=$!
echo $helper
until grep -q 'start: ' "$KESTRO_UPDATE_LOG" 2>/dev/null; do sleep 0.01; done
sleep 0.1; kill -STOP $helper
kill $app; wait $app; sleep 0.05
echo $((app - 1)) >/proc/sys/kernel/ns_last_pid
sleep 60 & newcomer=$!
[ $newcomer = $app ] || echo "newcomer got $newcomer, not $app" >&2
kill -CONT $helper; wait $helper; status=$?
kill $newcomer; exit $status)";
  RunOptions options;
  options.time_limit = 30;
  RunResult result = box.run({"--pid", "--fork", "--mount-proc", "--kill-child", "/bin/sh", "-c",
                              script, KESTRO_UPDATE_BINARY, box.path("u.zip")},
                             options, "/usr/bin/unshare");
  EXPECT_EQ(result.err.find("newcomer"), std::string::npos) << result.err;
  ASSERT_FALSE(result.out.empty()) << result.err;  // the helper's pid
  const auto log = box.log_messages(std::stoi(result.out));
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[1], "parent exited; applying artifact");
}

TEST(Wait, StopAndContinueWhileWaitingChangesNothing) {
  Sandbox box;
  box.add_tools();
  FakeParent parent(1.5);
  RunOptions options;
  options.while_running = [](pid_t helper) {
    usleep(300000);
    kill(helper, SIGSTOP);
    usleep(500000);
    kill(helper, SIGCONT);
  };
  RunResult result = run_with_parent(
      box, parent, args_for(parent.pid(), box.path("u.zip"), "/A/K.app"), nullptr, options);
  const auto log = box.log_messages(result.pid);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[1], "parent exited; applying artifact");
  EXPECT_EQ(log.back(),
            "relaunched /A/K.app after the failed apply; the machine keeps the build it had");
  EXPECT_EQ(result.exit_code, 1);
}

TEST(Wait, TimesOutAfterTwoMinutesWithoutTouchingAnything) {
  Sandbox box;
  box.add_tools();
  // Process id 0 is the helper's own process group, which never goes away.
  RunResult result = box.run(args_for(0, box.path("u.zip"), "/A/K.app"));
  EXPECT_GE(result.seconds, 120.0);
  EXPECT_LT(result.seconds, 120.0 + 0.4 + 1.0);
  EXPECT_EQ(box.log_messages(result.pid),
            (std::vector<std::string>{
                "start: wait_pid=0 install=" + box.path("u.zip") + " relaunch=/A/K.app os=macos",
                "FAILED at wait-for-parent: timed out waiting for process 0 to exit"}));
  EXPECT_EQ(result.err, "kestro-update: timed out waiting for process 0 to exit\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_FALSE(test::exists(box.path("calls.txt")));
}

TEST(Log, FallsBackToHomeThenToTheTemporaryDirectory) {
  Sandbox box;
  box.add_tools();
  box.set_env("KESTRO_UPDATE_LOG", "");
  RunResult first = box.run({"--bogus"});
  EXPECT_EQ(test::log_messages(box.path("home/Library/Logs/kestro-update.log"), first.pid),
            std::vector<std::string>{"bad argv: MissingFlag(\"unknown flag\")"});
  box.unset_env("HOME");
  RunResult second = box.run({"--bogus"});
  EXPECT_EQ(test::log_messages(box.path("tmp/kestro-update.log"), second.pid),
            std::vector<std::string>{"bad argv: MissingFlag(\"unknown flag\")"});
}

TEST(Log, UnwritableLogChangesNothingElse) {
  Sandbox box;
  box.add_tools();
  test::make_dirs(box.path("log-is-a-dir"));
  box.set_env("KESTRO_UPDATE_LOG", box.path("log-is-a-dir"));
  RunResult result = box.run(args_for(test::gone_pid(), box.path("u.zip"), "/A/K.app"));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err.rfind("kestro-update: ", 0), 0u);
  EXPECT_EQ(box.calls().back(), "open '/A/K.app'");  // the run went on to the relaunch
}

TEST(Descriptors, ClosedStandardDescriptorsAndNoLeaksToChildren) {
  // The `open` stand-in here is the test binary, reporting which descriptors it got.
  for (bool closed : {false, true}) {
    SCOPED_TRACE(closed ? "0-2 closed at start" : "0-2 open");
    Sandbox box;
    box.add_tools({"osascript", "launchctl"});
    box.add_tool_link("ditto", KESTRO_TEST_BINARY);  // captured: stdin, stdout, stderr replaced
    box.add_tool_link("open", KESTRO_TEST_BINARY);   // detached: inherits the helper's
    box.set_env("KESTRO_TEST_CHILD", "fds-report");
    box.set_env("FD_REPORT", box.path("fds.txt"));
    RunOptions options;
    options.close_std_fds = closed;
    RunResult result = box.run(args_for(test::gone_pid(), box.path("u.zip"), "/A/K.app"), options);
    EXPECT_EQ(result.exit_code, 1);
    // 0-2 are there (null device, pipes or inherited); 20 is the harness's own sentinel.
    EXPECT_EQ(test::read_file(box.path("fds.txt")), " 0 1 2 20\n 0 1 2 20\n");
    const auto log = box.log_messages(result.pid);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(),
              "relaunched /A/K.app after the failed apply; the machine keeps the build it had");
  }
}

TEST(Descriptors, StandardErrorWithNoReaderStillEndsWithStatusOne) {
  RunOptions options;
  options.stderr_no_reader = true;
  Sandbox refused_box;
  RunResult refused = refused_box.run({"--bogus"}, options);
  EXPECT_EQ(refused.exit_code, 1);  // not killed by SIGPIPE
  EXPECT_EQ(refused_box.log_messages(refused.pid),
            std::vector<std::string>{"bad argv: MissingFlag(\"unknown flag\")"});
  Sandbox box;
  box.add_tools();
  RunResult failed = box.run(args_for(test::gone_pid(), box.path("u.zip"), "/A/K.app"), options);
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_EQ(box.log_messages(failed.pid).back(),
            "relaunched /A/K.app after the failed apply; the machine keeps the build it had");
}

}  // namespace
}  // namespace kestro
