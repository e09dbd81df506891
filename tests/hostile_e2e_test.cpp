// Whole updates under conditions that a careless start, a full disk or another user can
// bring about: the machine must still end up with its application running, and only the
// bundle this run unpacked may reach the privileged copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "support/installed.h"
#include "support/platform.h"
#include "sys/fd.h"

namespace kestro {
namespace {

using test::Installed;
using test::RunOptions;
using test::RunResult;
using test::sh_quote;
using test::version_of;
using test::zip_one_bundle;

// sh that prints a relative path 300 directories deep: more levels than macOS lets a
// process hold descriptors by default (256).
const char kDeep[] = "$(printf 'd/%.0s' $(seq 300))";

// The update went through and the application was started again.
void expect_applied(const Installed& u, const RunResult& result) {
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(version_of(u.bundle), "2");
  EXPECT_EQ(version_of(u.bundle + ".bak"), "1");
  EXPECT_EQ(u.box.calls().size(), 13u);
  EXPECT_FALSE(u.box.calls().empty() || u.box.calls().back() != "open " + sh_quote(u.bundle));
}

// The log in `text`, written by the helper with pid `pid`, as messages.
std::vector<std::string> messages_in(const Installed& u, const std::string& text, pid_t pid) {
  const std::string copy = u.box.path("log-copy");
  test::write_file(copy, text);
  return test::log_messages(copy, pid);
}

TEST(Hostile, LogThatMayNotGrowLosesLinesNotTheUpdate) {
  Installed u;
  const std::string full(64 * 1024, 'x');
  test::write_file(u.box.log_path(), full);
  RunOptions options;
  options.file_size_limit = 64 * 1024;  // as "ulimit -f 64"
  RunResult result = u.run(zip_one_bundle(u.box, "2"), "", options);
  expect_applied(u, result);
  EXPECT_EQ(test::read_file(u.box.log_path()), full);

  RunResult refused = u.box.run({"--help"}, options);
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "kestro-update: bad argv: MissingFlag(\"unknown flag\")\n");
}

TEST(Hostile, FifoAtTheLogPathNeverHoldsTheRun) {
  {
    SCOPED_TRACE("nobody reading");
    Installed u;
    ASSERT_EQ(mkfifo(u.box.log_path().c_str(), 0600), 0);
    RunOptions options;
    options.time_limit = 60;  // a hang shows as a failure, not as a stuck suite
    expect_applied(u, u.run(zip_one_bundle(u.box, "2"), "", options));
  }
  {
    SCOPED_TRACE("a reader that keeps it open");
    Installed u;
    const std::string fifo = u.box.log_path();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    sys::UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    // A writer of our own, so that the reader sees no end between the helper's lines.
    sys::UniqueFd keep(open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(reader.valid() && keep.valid());
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive);
    expect_applied(u, result);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(reader.get(), buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    EXPECT_EQ(messages_in(u, text, result.pid), u.applied_log(archive));
  }
  {
    SCOPED_TRACE("standard error");
    Installed u;
    u.box.set_env("KESTRO_UPDATE_LOG", "/dev/stderr");
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive);
    expect_applied(u, result);
    EXPECT_EQ(messages_in(u, result.err, result.pid), u.applied_log(archive));
  }
}

TEST(Hostile, LeftoversAreRemovedWhateverTheirDepthOrRefused) {
  const struct {
    const char* name;
    std::string setup;  // sh, run in the temporary folder; X is the unpacking folder
    bool unprivileged;
    bool applies;
  } cases[] = {
      {"300 levels deep, beside a stale bundle",
       std::string("mkdir -p X/Old.app/Contents X/") + kDeep +
           " && printf 9 >X/Old.app/Contents/version.txt",
       false, true},
      {"empty and unreadable", "mkdir -m 000 X", true, true},
      {"a stale bundle we may not empty",
       "mkdir -p X/Old.app/Contents && printf 9 >X/Old.app/Contents/version.txt && "
       "chmod 555 X/Old.app",
       true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installed u;
    test::shell("cd " + sh_quote(u.box.path("tmp")) + " && " + c.setup +
                " && mv X kestro_update_extract");
    const std::string archive = zip_one_bundle(u.box, "2");
    RunOptions options;
    options.open_files_limit = 256;
    options.unprivileged = c.unprivileged;
    RunResult result = u.run(archive, "", options);
    if (c.applies) {
      expect_applied(u, result);
      EXPECT_EQ(u.box.log_messages(result.pid), u.applied_log(archive));
      EXPECT_FALSE(test::exists(u.box.extract_dir()));
    } else {
      u.expect_failed_before_unpacking(result, archive, "File exists (os error 17)");
      EXPECT_EQ(version_of(u.bundle), "1");
    }
  }
}

TEST(Hostile, DeepTreeInTheNewBundleLeavesNothingBehind) {
  Installed u;
  const std::string stage = u.box.path("stage");
  test::stage_bundle(stage + "/Kestro.app", "2");
  test::shell("cd " + sh_quote(stage) + "/Kestro.app/Contents && mkdir -p " + kDeep);
  const std::string archive = test::zip_stage(stage, u.box.path("deep.zip"));
  RunOptions options;
  options.open_files_limit = 256;
  RunResult result = u.run(archive, "", options);
  expect_applied(u, result);
  EXPECT_FALSE(test::exists(u.box.extract_dir()));
}

TEST(Hostile, FolderHoldingTheUnpackingFolderMustNotLetOthersSwapIt) {
  const struct {
    const char* name;
    const char* setup;   // sh, run in the sandbox
    const char* tmpdir;  // relative to the sandbox; nullptr keeps tmp/
    int umask;
    bool applies;
  } cases[] = {
      {"created under umask 0", "true", "fresh/tmp/", 0, false},
      {"writable by the group", "chmod 775 tmp", nullptr, -1, false},
      {"another user's", "chown OTHER tmp", nullptr, -1, false},
      {"writable by all, with the sticky bit", "chmod 1777 tmp", nullptr, -1, true},
      {"a link to a private folder", "mv tmp real-tmp && ln -s real-tmp tmp", nullptr, -1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string setup = c.setup;
    if (setup.rfind("chown OTHER", 0) == 0) {
      if (const char* why = test::other_user_skip_reason()) {
        std::cout << "skipped case \"" << c.name << "\": " << why << "\n";
        continue;
      }
      setup.replace(6, 5, std::to_string(test::other_user_id()));
    }
    Installed u;
    test::shell("cd " + sh_quote(u.box.root()) + " && " + setup);
    if (c.tmpdir != nullptr) u.box.set_env("TMPDIR", u.box.path(c.tmpdir));
    const std::string archive = zip_one_bundle(u.box, "2");
    RunOptions options;
    options.umask = c.umask;
    RunResult result = u.run(archive, "", options);
    if (c.applies) {
      expect_applied(u, result);
    } else {
      u.expect_failed_before_unpacking(result, archive, "Permission denied (os error 13)");
    }
  }
}

TEST(Hostile, PathsThatAreNotUtf8NeverReachTheScript) {
  const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD stands for the byte 0xFF
  auto shown = [&](std::string path) {
    for (size_t at; (at = path.find('\xFF')) != std::string::npos;) {
      path.replace(at, 1, replacement);
    }
    return path;
  };
  const struct {
    const char* name;
    const char* installed;  // relative to the sandbox
    const char* tmpdir;     // relative to the sandbox
    bool target_shown;      // the message names the installed bundle, else the new one
  } cases[] = {
      {"the unpacking folder", "Applications/Kestro.app", "t\xFF/", false},
      {"the installed bundle", "Applications/Kes\xFFtro.app", "tmp/", true},
      {"both", "Applications/Kes\xFFtro.app", "t\xFF/", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installed u(c.installed);
    u.box.set_env("TMPDIR", u.box.path(c.tmpdir));
    const std::string relaunch = u.box.path("Applications/Launcher.app");
    const std::string archive = zip_one_bundle(u.box, "2");
    const std::string unpacked = u.box.path(c.tmpdir) + "kestro_update_extract";
    const std::string error =
        "path is not valid UTF-8: " + shown(c.target_shown ? u.bundle : unpacked + "/Kestro.app");
    RunResult result = u.run(archive, relaunch);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "kestro-update: " + error + "\n");
    EXPECT_EQ(u.box.log_messages(result.pid),
              (std::vector<std::string>{
                  u.head(archive, relaunch)[0], u.head(archive, relaunch)[1],
                  "ditto -x -k " + archive + " -> " + shown(unpacked),
                  "replacing " + shown(u.bundle) + " with " + shown(unpacked + "/Kestro.app"),
                  "FAILED at apply: " + error, "open " + relaunch,
                  "relaunched " + relaunch +
                      " after the failed apply; the machine keeps the build it had"}));
    EXPECT_EQ(u.box.calls(), (std::vector<std::string>{
                                 "ditto '-x' '-k' " + sh_quote(archive) + " " + sh_quote(unpacked),
                                 "open " + sh_quote(relaunch)}));
    EXPECT_FALSE(test::exists(unpacked));
    EXPECT_EQ(version_of(u.bundle), "1");
    EXPECT_FALSE(test::exists(u.bundle + ".bak"));
  }
}

}  // namespace
}  // namespace kestro
