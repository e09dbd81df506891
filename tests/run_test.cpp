#include "run/update.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/env.h"
#include "support/harness.h"

namespace kestro {
namespace {

// Each row of the outcome table, reached through substituted phases.
struct Outcome {
  const char* name;
  bool wait_ok, apply_ok, relaunch_ok;
  std::vector<std::string> log;  // messages after the start line
  const char* error;             // nullptr: success
  int relaunches;
};

TEST(RunUpdate, EveryOutcomeLogsAndReturnsWhatItShould) {
  const std::string kNoApp =
      " - THIS MACHINE NOW HAS NO APP RUNNING and, if nobody is at it, is unreachable until "
      "someone starts it";
  const Outcome cases[] = {
      {"wait times out",
       false,
       true,
       true,
       {"FAILED at wait-for-parent: wait-error"},
       "wait-error",
       0},
      {"apply fails, relaunch works",
       true,
       false,
       true,
       {"parent exited; applying artifact", "FAILED at apply: apply-error",
        "relaunched /A/K.app after the failed apply; the machine keeps the build it had"},
       "apply-error",
       1},
      {"apply fails, relaunch fails",
       true,
       false,
       false,
       {"parent exited; applying artifact", "FAILED at apply: apply-error",
        "FAILED at relaunch after a failed apply: relaunch-error" + kNoApp},
       "apply-error",
       1},
      {"applied, relaunch fails",
       true,
       true,
       false,
       {"parent exited; applying artifact", "applied; relaunching /A/K.app",
        "FAILED at relaunch: relaunch-error"},
       "relaunch-error",
       1},
      {"applied and relaunched",
       true,
       true,
       true,
       {"parent exited; applying artifact", "applied; relaunching /A/K.app", "done"},
       nullptr,
       1},
  };
  for (const Outcome& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::ScopedEnv log("KESTRO_UPDATE_LOG", (dir / "log").c_str());
    int relaunches = 0;
    std::string applied_from, relaunched;
    UpdatePhases phases{[&](uint32_t pid) -> UpdateResult {
                          EXPECT_EQ(pid, 4242u);
                          if (c.wait_ok) return {};
                          return fail(UpdateError{"wait-error"});
                        },
                        [&](const std::string& install) -> UpdateResult {
                          applied_from = install;
                          if (c.apply_ok) return {};
                          return fail(UpdateError{"apply-error"});
                        },
                        [&](const std::string& path) -> UpdateResult {
                          ++relaunches;
                          relaunched = path;
                          if (c.relaunch_ok) return {};
                          return fail(UpdateError{"relaunch-error"});
                        }};
    auto result = run_update({4242, "u.zip", "/A/K.app"}, phases);

    if (c.error == nullptr) {
      EXPECT_TRUE(result.ok());
    } else {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().message, c.error);
    }
    EXPECT_EQ(relaunches, c.relaunches);
    if (relaunches > 0) {
      EXPECT_EQ(relaunched, "/A/K.app");
    }
    if (c.wait_ok) {
      EXPECT_EQ(applied_from, "u.zip");
    }

    std::vector<std::string> expected{
        "start: wait_pid=4242 install=u.zip relaunch=/A/K.app os=macos"};
    expected.insert(expected.end(), c.log.begin(), c.log.end());
    EXPECT_EQ(test::log_messages(dir / "log", getpid()), expected);
  }
}

}  // namespace
}  // namespace kestro
