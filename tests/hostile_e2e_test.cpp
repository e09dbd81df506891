// Whole updates under conditions that a careless start, a full disk or another user can
// bring about: the machine must still end up with its application running, and only the
// bundle this run unpacked may reach the privileged copy.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>
#include <thread>

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
  EXPECT_EQ(u.box.calls().size(), 18u);
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
  // A reader that holds it open reads everything after the run; or, the pipe full when the
  // helper starts, a page every 20 ms; or nothing at all, and then lines are lost, not the run.
  for (const std::string reads : {"after", "slowly", "never"}) {
    SCOPED_TRACE("a reader that reads " + reads);
    Installed u;
    const std::string fifo = u.box.log_path();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    sys::UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    // A writer of our own, so that the reader sees no end between the helper's lines.
    sys::UniqueFd keep(open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.valid() && keep.valid());
    const char block[512] = {};
    size_t filled = 0;
    while (reads != "after" && write(keep.get(), block, sizeof block) > 0) filled += sizeof block;
    std::string text;
    auto drain = [&](bool one_page) {
      char page[4096];
      for (ssize_t n; (n = read(reader.get(), page, sizeof page)) > 0;) {
        text.append(page, static_cast<size_t>(n));
        if (one_page) return;
      }
    };
    std::atomic<bool> done{false};
    std::thread slow;
    RunOptions options;
    options.time_limit = 60;  // a hang shows as a failure, not as a stuck suite
    if (reads == "slowly") {
      options.while_running = [&](pid_t) {
        slow = std::thread([&] {
          while (!done) {
            usleep(20000);
            drain(true);
          }
        });
      };
    }
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive, "", options);
    done = true;
    if (slow.joinable()) slow.join();
    expect_applied(u, result);
    if (reads == "never") continue;
    drain(false);
    ASSERT_GE(text.size(), filled);
    EXPECT_EQ(messages_in(u, text.substr(filled), result.pid), u.applied_log(archive));
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

TEST(Hostile, EndingTheApplicationsProcessGroupSparesTheHelper) {
  Installed u;
  const std::string archive = zip_one_bundle(u.box, "2");
  RunOptions options;
  options.new_session = true;  // the application leads its group, as a launchd job does
  options.while_running = [](pid_t app) {
    usleep(250000);  // after the application quit, before the helper's second probe
    kill(-app, SIGTERM);
    usleep(50000);
    kill(-app, SIGKILL);
  };
  // The application starts the helper and quits.
  RunResult result = u.box.run({"-c",
                                "\"$0\" --wait-pid $$ --install \"$1\" --relaunch \"$2\" & "
                                "echo $!; /bin/sleep 0.1",
                                u.helper(), archive, u.bundle},
                               options, "/bin/sh");
  u.wait_pid = result.pid;
  ASSERT_FALSE(result.out.empty()) << result.err;  // the helper's pid
  EXPECT_EQ(test::log_messages(u.box.log_path(), std::stoi(result.out)), u.applied_log(archive));
  expect_applied(u, result);
}

TEST(Hostile, NewBundleTakesTheInstalledOwnerAndNoWriteForOthers) {
  if (const char* why = test::other_user_skip_reason()) GTEST_SKIP() << why;
  Installed u;
  const std::string id = std::to_string(test::other_user_id()), stage = u.box.path("stage");
  test::shell("chown -R " + id + ":" + id + " " + sh_quote(u.bundle));
  test::stage_bundle(stage + "/Kestro.app", "2");
  test::shell("chmod 666 " + sh_quote(stage + "/Kestro.app/Contents/version.txt"));
  EXPECT_EQ(u.run(test::zip_stage(stage, u.box.path("u.zip"))).exit_code, 0);
  test::shell("find " + sh_quote(u.bundle) + " ! -user " + id + " -o ! -group " + id +
              " -o -perm -020 -o -perm -002 >" + sh_quote(u.box.path("found")));
  EXPECT_EQ(test::read_file(u.box.path("found")), "");  // not theirs, or writable by others
}

TEST(Hostile, BundleOnAReadOnlyVolumeIsRefusedBeforeThePrompt) {
  // Where a pid namespace can be had, so can a mount namespace: --mount-proc makes one.
  if (const char* why = test::no_pid_namespace()) GTEST_SKIP() << why;
  Installed u;
  const std::string archive = zip_one_bundle(u.box, "2");
  RunResult result =
      u.box.run({"--mount", "/bin/sh", "-c", "/bin/mount --bind -o ro \"$0\" \"$0\" && exec \"$@\"",
                 u.box.path("Applications"), u.helper(), "--wait-pid", std::to_string(u.wait_pid),
                 "--install", archive, "--relaunch", u.bundle},
                {}, "/usr/bin/unshare");
  EXPECT_EQ(u.box.log_messages(result.pid),
            test::concat(
                test::concat(u.head(archive), {"replacing " + u.bundle + " with " + u.extracted()}),
                u.failed_tail("installed bundle is on a read-only volume: " + u.bundle)));
  EXPECT_FALSE(test::exists(u.box.extract_dir()));
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
  test::stage_bundle(stage + "/Kestro.app", "2");  // signed again, with the tree
  const std::string archive = test::zip_stage(stage, u.box.path("deep.zip"));
  RunOptions options;
  options.open_files_limit = 256;
  RunResult result = u.run(archive, "", options);
  expect_applied(u, result);
  EXPECT_FALSE(test::exists(u.box.extract_dir()));
}

TEST(Hostile, PathToTheUnpackingFolderIsOursOrRootsAlone) {
  const char* denied = "Permission denied (os error 13)";
  const struct {
    const char* name;
    const char* setup;   // sh, run in the sandbox
    const char* tmpdir;  // relative to the sandbox; nullptr keeps tmp/
    int umask;
    bool unprivileged;
    const char* error;  // nullptr: the update applies
  } cases[] = {
      {"created under umask 0", "true", "fresh/tmp/", 0, false, denied},
      {"writable by the group", "chmod 775 tmp", nullptr, -1, false, denied},
      {"another user's", "chown OTHER tmp", nullptr, -1, false, denied},
      {"below a folder writable by all", "mkdir -m 777 o && mkdir -m 700 o/t", "o/t/", -1, false,
       denied},
      {"below another user's folder", "mkdir -p u/t && chown OTHER u", "u/t/", -1, false, denied},
      {"through a link into a folder writable by all",
       "mkdir -m 777 o && mkdir -m 700 o/t && ln -s o/t l", "l/", -1, false, denied},
      {"through an absolute link into a folder writable by all",
       "mkdir -m 777 o && mkdir -m 700 o/t && ln -s \"$PWD/o/t\" l", "l/", -1, false, denied},
      {"through a link kept in a folder writable by all", "mkdir -m 777 o && ln -s ../tmp o/l",
       "o/l/", -1, false, denied},
      {"through another user's link in a sticky folder",
       "mkdir -m 1777 s && ln -s ../tmp s/l && chown -h OTHER s/l", "s/l/", -1, false, denied},
      {"a missing folder we may not create", "mkdir -m 555 ro", "ro/a/b/", -1, true, denied},
      {"through a plain file", "printf x >f", "f/", -1, false, "Not a directory (os error 20)"},
      {"writable by all, with the sticky bit", "chmod 1777 tmp", nullptr, -1, false, nullptr},
      {"a private folder in a sticky folder", "mkdir -m 1777 s && mkdir -m 700 s/t", "s/t/", -1,
       false, nullptr},
      {"through our own link to a private folder", "mv tmp real-tmp && ln -s real-tmp tmp", nullptr,
       -1, false, nullptr},
      {"through root's links, as /var is on macOS",
       "mkdir -p private/var/folders/zz/u/T && ln -s private/var var", "var/folders/zz/u/T/", -1,
       false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string setup = c.setup;  // OTHER stands for the second user, whom only root can play
    for (size_t at; (at = setup.find("OTHER")) != std::string::npos;) {
      if (const char* why = test::other_user_skip_reason()) {
        std::cout << "skipped case \"" << c.name << "\": " << why << "\n";
        break;
      }
      setup.replace(at, 5, std::to_string(test::other_user_id()));
    }
    if (setup.find("OTHER") != std::string::npos) continue;
    Installed u;
    test::shell("cd " + sh_quote(u.box.root()) + " && " + setup);
    if (c.tmpdir != nullptr) u.box.set_env("TMPDIR", u.box.path(c.tmpdir));
    const std::string archive = zip_one_bundle(u.box, "2");
    RunOptions options;
    options.umask = c.umask;
    options.unprivileged = c.unprivileged;
    RunResult result = u.run(archive, "", options);
    if (c.error == nullptr) {
      expect_applied(u, result);
    } else {
      u.expect_failed_before_unpacking(result, archive, c.error);
    }
  }
}

TEST(Hostile, PathsThatAreNotUtf8NeverReachTheScript) {
  // Every case puts such a name on disk: the bundle, or t\xFF/, which the helper makes.
  if (const char* why = test::non_utf8_name_skip_reason()) GTEST_SKIP() << why;
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
