// Whole updates through the built helper: real zip archives, an installed bundle in the
// sandbox with a copy of the helper inside it (the helper replaces the bundle it lives in),
// and the stand-in tools.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include <gtest/gtest.h>

#include "apply/replace.h"
#include "paths/text.h"
#include "support/harness.h"
#include "support/installed.h"

namespace kestro {
namespace {

using test::concat;
using test::Installed;
using test::RunOptions;
using test::RunResult;
using test::Sandbox;
using test::sh_quote;
using test::stage_bundle;
using test::version_of;
using test::zip_one_bundle;
using test::zip_stage;

const char kNoFile[] = "No such file or directory (os error 2)";
const char kReplaceFailed[] = "app replace failed or was cancelled at the authorization prompt";
const std::vector<std::string> kKestroJobs = {
    "/Library/LaunchDaemons/com.tallowmere.Kestro_dispatcher.plist",
    "/Library/LaunchAgents/com.tallowmere.Kestro_session.plist",
    "/Library/LaunchAgents/com.tallowmere.Kestro_launcher.plist"};
const std::vector<std::string> kZarnoJobs = {
    "/Library/LaunchDaemons/com.tallowmere.Zarno_dispatcher.plist",
    "/Library/LaunchAgents/com.tallowmere.Zarno_session.plist",
    "/Library/LaunchAgents/com.tallowmere.Zarno_launcher.plist"};

// The line osascript is given (its text is pinned in apply_test), with the installed bundle's
// owner and helper: ours, or root's and none on a first installation.
std::string script(const std::string& t, const std::string& s) {
  const bool installed = test::exists(t);
  return build_replace_script({t, s, s.substr(0, s.rfind('/')),
                               installed ? "Contents/MacOS/kestro-update" : "",
                               installed ? getuid() : 0, installed ? getgid() : 0, installed});
}
// The codesign call that checks `bundle` against the installed build's requirement.
std::string verify_call(const std::string& bundle) {
  return "codesign '--verify' '--deep' '--strict' '--test-requirement' " +
         sh_quote(std::string("=") + test::kRequirement) + " " + sh_quote(bundle);
}

// The standard-error lines the helper wrote itself: osascript and launchctl run on the
// helper's own streams, so what they print shows up there too.
std::vector<std::string> own_lines(const std::string& err) {
  std::vector<std::string> out;
  size_t begin = 0;
  for (size_t end; (end = err.find('\n', begin)) != std::string::npos; begin = end + 1) {
    if (err.compare(begin, 15, "kestro-update: ") == 0) {
      out.push_back(err.substr(begin, end - begin));
    }
  }
  return out;
}

// A run's messages without osascript's own lines, which carry what the root shell printed.
std::vector<std::string> without_osascript_lines(std::vector<std::string> log) {
  log.erase(std::remove_if(log.begin(), log.end(),
                           [](const std::string& m) { return m.rfind("osascript: ", 0) == 0; }),
            log.end());
  return log;
}

std::vector<std::string> launchctl_calls(const std::vector<std::string>& calls) {
  std::vector<std::string> out;
  for (const std::string& call : calls) {
    if (call.rfind("launchctl ", 0) == 0) out.push_back(call);
  }
  return out;
}

std::vector<std::string> expected_launchctl(const std::vector<std::string>& loaded) {
  std::vector<std::string> out;
  for (const auto* jobs : {&kKestroJobs, &kZarnoJobs}) {
    for (const std::string& plist : *jobs) out.push_back("launchctl 'unload' " + sh_quote(plist));
  }
  for (const std::string& plist : loaded) out.push_back("launchctl 'load' '-w' " + sh_quote(plist));
  return out;
}

TEST(Update, WholeRunReplacesTheBundleReloadsJobsAndRelaunches) {
  Installed u;
  const std::string archive = zip_one_bundle(u.box, "2");
  const std::string s = u.extracted();
  RunResult result = u.run(archive);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(u.box.log_messages(result.pid), u.applied_log(archive));
  EXPECT_EQ(version_of(u.bundle), "2");
  EXPECT_EQ(version_of(u.bundle + ".bak"), "1");
  test::shell("[ -z \"$(ls -A " + sh_quote(u.box.path("roottmp")) + ")\" ]");  // nothing staged
  EXPECT_FALSE(test::exists(u.box.extract_dir()));
  const std::string k = u.box.path("roottmp/kestro-update.X/Kestro.app");  // root's copy
  std::vector<std::string> calls = u.box.calls();
  for (std::string& call : calls)
    call = std::regex_replace(call, std::regex("update\\.\\w{6}/"), "update.X/");
  const std::string show = "codesign '-d' '-r-' " + sh_quote(u.bundle);
  EXPECT_EQ(calls,
            concat(concat({u.unpack_call(archive), show, verify_call(s),
                           "osascript '-e' " + sh_quote(script(u.bundle, s)),
                           "getconf 'DARWIN_USER_TEMP_DIR'",
                           "ditto '-X' '--noacl' '--noqtn' " + sh_quote(s) + " " + sh_quote(k),
                           show, verify_call(k)},
                          expected_launchctl(kKestroJobs)),
                   {"open " + sh_quote(u.bundle)}));
  // Installed: the zip's bundle, sealed, with the owner the installed one had.
  test::shell("diff -r " + sh_quote(u.box.path("stage-2/Kestro.app")) + " " + sh_quote(u.bundle) +
              " && PATH=" + u.box.path("bin") + " " + verify_call(u.bundle) + " && [ -z \"$(find " +
              sh_quote(u.bundle) + " ! -user " + std::to_string(getuid()) + ")\" ]");

  // A second update on top: the backup of the first one is replaced, not filled.
  u.put_helper();
  test::shell("rm " + sh_quote(u.box.log_path()) + " " + sh_quote(u.box.path("calls.txt")));
  test::write_file(u.bundle + ".bak/Contents/only-in-old-backup", "x");
  RunResult again = u.run(zip_one_bundle(u.box, "3"));
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(version_of(u.bundle), "3");
  EXPECT_EQ(version_of(u.bundle + ".bak"), "2");
  EXPECT_FALSE(test::exists(u.bundle + ".bak/Contents/only-in-old-backup"));
  EXPECT_FALSE(test::exists(u.bundle + ".bak/Kestro.app"));
  EXPECT_EQ(u.box.log_messages(again.pid).back(), "done");
}

TEST(Update, OnlyTheInstalledBuildsOwnProgramIsOffered) {
  const std::string unmet =
      "new bundle does not satisfy the installed build's designated requirement: ";
  const struct {
    const char* installed;   // identity ("-": ad hoc)
    const char* identifier;  // the new build's
    const char* prelude;     // of codesign
    std::string error;       // before a path
  } cases[] = {
      {"-", "com.tallowmere.Kestro", "",
       "installed build is signed ad hoc; no other build can satisfy its designated "
       "requirement: "},
      {test::kIdentity, "com.tallowmere.Kestro", "[ \"$1\" != -d ] || kill -KILL $$",
       "installed build has no designated requirement: "},
      {test::kIdentity, "com.tallowmere.Other", "", unmet},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    Installed u("Applications/Kestro.app", c.installed);
    if (*c.prelude != '\0') u.wrap_tool("codesign", c.prelude);
    stage_bundle(u.box.path("stage/Kestro.app"), "2", test::kIdentity, c.identifier);
    const std::string archive = zip_stage(u.box.path("stage"), u.box.path("u.zip"));
    RunResult result = u.run(archive);
    // Up to "replacing", or on to the check of the new bundle, and no prompt.
    std::vector<std::string> log = u.up_to_prompt(archive, "");
    log.resize(c.error == unmet ? 6 : 4);
    if (c.error == unmet) log[5] = "codesign exit: 3";
    const std::string error = c.error + (c.error == unmet ? u.extracted() : u.bundle);
    EXPECT_EQ(result.err, "kestro-update: " + error + "\n");
    EXPECT_EQ(u.box.log_messages(result.pid), concat(log, u.failed_tail(error)));
    EXPECT_EQ(version_of(u.bundle), "1");
    EXPECT_FALSE(test::exists(u.box.extract_dir()));
    for (const std::string& call : u.box.calls()) EXPECT_NE(call.rfind("osascript", 0), 0u);
  }
}

TEST(Update, OsascriptAndTheRootShellGetNothingButPath) {
  Installed u;
  u.box.set_env("BASH_FUNC_codesign%%", "() { echo R; }");
  u.box.set_env("DYLD_INSERT_LIBRARIES", u.box.path("x.dylib"));
  // What osascript, and a tool the root shell runs, were given; less what each shell adds.
  const std::string record = "/usr/bin/env | grep -v -e ^PWD= -e ^OLDPWD= -e ^SHLVL= -e ^_= >>" +
                             sh_quote(u.box.path("env"));
  u.wrap_tool("osascript", record);
  u.wrap_tool("getconf", record);
  EXPECT_EQ(u.run(zip_one_bundle(u.box, "2")).exit_code, 0);
  const std::string path = "PATH=" + u.box.path("bin") + ":/usr/bin:/bin:/usr/sbin:/sbin\n";
  EXPECT_EQ(test::read_file(u.box.path("env")), path + path);
}

TEST(Update, DismissedPromptKeepsTheInstalledBuild) {
  Installed u;
  u.box.set_env("STANDIN_OSASCRIPT_CANCEL", "1");
  const std::string archive = zip_one_bundle(u.box, "2");
  const std::string app = u.bundle + "/Contents/MacOS/Kestro";
  RunResult result = u.run(archive, app);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, std::string("kestro-update: ") + kReplaceFailed + "\n");
  EXPECT_EQ(u.box.log_messages(result.pid),
            concat(concat(u.up_to_prompt(archive, "1", app), {"osascript: User canceled. (-128)"}),
                   u.failed_tail(kReplaceFailed, app)));
  EXPECT_EQ(version_of(u.bundle), "1");
  EXPECT_FALSE(test::exists(u.bundle + ".bak"));
  EXPECT_FALSE(test::exists(u.box.extract_dir()));
  EXPECT_EQ(launchctl_calls(u.box.calls()), std::vector<std::string>{});
  EXPECT_EQ(u.box.calls().back(), "open " + sh_quote(u.bundle));
}

TEST(Update, PromptNobodyAnswersEndsAtTheLimitAndOneAnsweredLateCompletes) {
  for (const bool answered : {false, true}) {
    SCOPED_TRACE(answered ? "answered after 1 s, a copy of 3 s" : "nobody answers");
    Installed u;  // the test binary plays the helper, with a limit of 2 s (test_main.cpp)
    test::shell("ln -sf " + sh_quote(KESTRO_TEST_BINARY) + " " + sh_quote(u.helper()));
    u.box.set_env("KESTRO_TEST_CHILD", "helper:2");
    u.box.set_env("STANDIN_OSASCRIPT_WAIT", answered ? "1" : "60");
    u.wrap_tool("ditto", "[ $1 != -X ] || sleep 3");
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive);
    const std::string error = "nobody answered the authorization prompt within 2 seconds";
    EXPECT_EQ(u.box.log_messages(result.pid),
              answered ? u.applied_log(archive)
                       : concat(u.up_to_prompt(archive, "signal"), u.failed_tail(error)));
    EXPECT_EQ(version_of(u.bundle), answered ? "2" : "1");
    EXPECT_EQ(test::exists(u.bundle + ".bak"), answered);
    EXPECT_EQ(rmdir(u.box.path("roottmp").c_str()), 0);    // nothing staged is left
    EXPECT_EQ(u.box.calls().size(), answered ? 18u : 5u);  // the root shell ran, or nothing
  }
}

TEST(Update, FailedCopyGivesTheOldBundleBack) {
  Installed u;
  u.box.set_env("STANDIN_DITTO_COPY_FAIL", "1");  // half-way, as on a full disk
  const std::string before = u.box.path("before.app");
  test::shell("cp -R -p " + sh_quote(u.bundle) + " " + sh_quote(before));
  const std::string archive = zip_one_bundle(u.box, "2");
  RunResult result = u.run(archive);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(without_osascript_lines(u.box.log_messages(result.pid)),
            concat(u.up_to_prompt(archive, "1"), u.failed_tail(kReplaceFailed)));
  test::shell("diff -r " + sh_quote(before) + " " + sh_quote(u.bundle));
  EXPECT_FALSE(test::exists(u.bundle + ".bak"));
  EXPECT_EQ(u.box.calls().back(), "open " + sh_quote(u.bundle));
}

TEST(Update, RelativeStartAndFoldersWithOneLetterNamesInstall) {
  // The root shell runs in /, not here: every path it is given must be absolute.
  Installed u;
  u.box.unset_env("KESTRO_UPDATE_LOG");
  u.box.set_env("HOME", "h");
  u.box.set_env("TMPDIR", "a/b/");
  RunOptions options;
  options.cwd = u.box.root();
  const std::string archive = zip_one_bundle(u.box, "2");
  RunResult result = u.box.run(
      {"--wait-pid", std::to_string(u.wait_pid), "--install", archive, "--relaunch", u.bundle},
      options, "Applications/Kestro.app/Contents/MacOS/kestro-update");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(version_of(u.bundle), "2");
  const auto log = test::log_messages(u.box.path("h/Library/Logs/kestro-update.log"), result.pid);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.at(3), "replacing " + u.bundle + " with " +
                           u.box.path("a/b/kestro_update_extract/Kestro.app"));
  EXPECT_EQ(log.back(), "done");
}

TEST(Update, MissingOrFailingTools) {
  {
    SCOPED_TRACE("no ditto");
    Installed u;
    test::shell("rm " + sh_quote(u.box.path("bin/ditto")));
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, std::string("kestro-update: ") + kNoFile + "\n");
    EXPECT_EQ(u.box.log_messages(result.pid), concat(u.head(archive), u.failed_tail(kNoFile)));
    EXPECT_EQ(version_of(u.bundle), "1");
  }
  {
    SCOPED_TRACE("no osascript");
    Installed u;
    test::shell("rm " + sh_quote(u.box.path("bin/osascript")));
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, std::string("kestro-update: ") + kReplaceFailed + "\n");
    EXPECT_EQ(u.box.log_messages(result.pid),
              concat(u.up_to_prompt(archive, std::string("spawn error: ") + kNoFile),
                     u.failed_tail(kReplaceFailed)));
    EXPECT_EQ(version_of(u.bundle), "1");
    EXPECT_FALSE(test::exists(u.box.extract_dir()));
    EXPECT_EQ(launchctl_calls(u.box.calls()), std::vector<std::string>{});
  }
  // launchctl's outcome is of no consequence: same log, same status.
  for (const char* how : {"no launchctl", "launchctl failing"}) {
    SCOPED_TRACE(how);
    Installed u;
    const bool missing = std::string(how) == "no launchctl";
    if (missing) test::shell("rm " + sh_quote(u.box.path("bin/launchctl")));
    if (!missing) u.box.set_env("STANDIN_LAUNCHCTL_EXIT", "5");
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(own_lines(result.err), std::vector<std::string>{});
    if (missing) {
      EXPECT_EQ(result.err, "");
    }
    EXPECT_EQ(u.box.log_messages(result.pid), u.applied_log(archive));
    EXPECT_EQ(version_of(u.bundle), "2");
    EXPECT_EQ(launchctl_calls(u.box.calls()),
              missing ? std::vector<std::string>{} : expected_launchctl(kKestroJobs));
  }
  {
    SCOPED_TRACE("no open after a successful apply");
    Installed u;
    test::shell("rm " + sh_quote(u.box.path("bin/open")));
    RunResult result = u.run(zip_one_bundle(u.box, "2"));
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, std::string("kestro-update: ") + kNoFile + "\n");
    const auto log = u.box.log_messages(result.pid);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
              (std::vector<std::string>{"applied; relaunching " + u.bundle, "open " + u.bundle,
                                        std::string("FAILED at relaunch: ") + kNoFile}));
    EXPECT_EQ(version_of(u.bundle), "2");
  }
}

TEST(Update, FailingDittoNamesItsTrimmedDecodedErrorOutput) {
  const struct {
    const char* name;
    const char* stderr_text;  // printf %b
    const char* exit_status;
    const char* signal;
    std::string message;
  } cases[] = {
      {"text", "ditto: bad zip\\n", "", "", "ditto: bad zip"},
      {"nothing, status 3", "", "3", "", ""},
      {"white space only", " \\t\\n \\n", "", "", ""},
      {"Unicode white space", "\\302\\240 bad\\342\\200\\251\\343\\200\\200", "", "", "bad"},
      {"invalid bytes", "\\377\\376", "", "", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"invalid subparts", "a\\340\\200x\\360\\237\\230b", "", "",
       "a\xEF\xBF\xBD\xEF\xBF\xBDx\xEF\xBF\xBD"
       "b"},
      {"killed", "", "", "KILL", ""},
      {"killed after text", "dying\\n", "", "KILL", "dying"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installed u;
    u.box.set_env("STANDIN_DITTO_STDERR", c.stderr_text);
    u.box.set_env("STANDIN_DITTO_EXIT", c.exit_status);
    u.box.set_env("STANDIN_DITTO_SIGNAL", c.signal);
    const std::string archive = zip_one_bundle(u.box, "2");
    const std::string error = "ditto extract failed: " + c.message;
    RunResult result = u.run(archive);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "kestro-update: " + error + "\n");
    EXPECT_EQ(u.box.log_messages(result.pid), concat(u.head(archive), u.failed_tail(error)));
    EXPECT_EQ(u.box.calls(),
              (std::vector<std::string>{u.unpack_call(archive), "open " + sh_quote(u.bundle)}));
    EXPECT_EQ(version_of(u.bundle), "1");
  }
}

TEST(Update, BundleIsFoundAtTheTopOrOneLevelDown) {
  const struct {
    const char* name;
    const char* stage;  // sh, run in the staging folder
    const char* found;  // relative to the unpacking folder; nullptr: none
    const char* kept;   // when none: an unpacked file that must stay
  } cases[] = {
      {"one level down", "mkdir payload && mv Kestro.app payload/", "payload/Kestro.app", nullptr},
      {"two levels down", "mkdir -p a/b && mv Kestro.app a/b/", nullptr,
       "a/b/Kestro.app/Contents/version.txt"},
      {"top level wins over nested",
       "for d in Aa/In.app zz/In.app Other/Inner.app; do mkdir -p $d/Contents && "
       "printf 9 >$d/Contents/version.txt; done",
       "Kestro.app", nullptr},
      {"no bundle at all", "rm -r Kestro.app && echo hi >readme.txt", nullptr, "readme.txt"},
      {"plain file named like a bundle", "rm -r Kestro.app && echo x >Kestro.app", nullptr,
       "Kestro.app"},
      {"plain file skipped for a nested bundle",
       "mkdir payload && mv Kestro.app payload/ && echo x >Kestro.app", "payload/Kestro.app",
       nullptr},
      {"link to a directory in the archive", "mv Kestro.app real && ln -s real Kestro.app",
       "Kestro.app", nullptr},
      {"link to a file skipped", "mkdir p && mv Kestro.app p/ && echo x >f && ln -s f Link.app",
       "p/Kestro.app", nullptr},
      {"upper-case extension", "mv Kestro.app Kestro.APP", "Kestro.APP", nullptr},
      {"not quite the extension", "mv Kestro.app Kestro.app.old && mkdir .app Kestro.apps", nullptr,
       "Kestro.app.old/Contents/version.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installed u;
    const std::string stage = u.box.path("stage");
    stage_bundle(stage + "/Kestro.app", "2");
    test::shell("cd " + sh_quote(stage) + " && " + c.stage);
    const std::string archive = zip_stage(stage, u.box.path("update.zip"));
    RunResult result = u.run(archive);
    const auto log = u.box.log_messages(result.pid);
    if (c.found != nullptr) {
      EXPECT_EQ(result.exit_code, 0) << result.err;
      ASSERT_GE(log.size(), 4u);
      EXPECT_EQ(log[3], "replacing " + u.bundle + " with " + u.extracted(c.found));
      EXPECT_EQ(version_of(u.bundle), "2");
    } else {
      const std::string error = "no .app bundle found in update zip";
      EXPECT_EQ(result.exit_code, 1);
      EXPECT_EQ(result.err, "kestro-update: " + error + "\n");
      EXPECT_EQ(log, concat(u.head(archive), u.failed_tail(error)));
      EXPECT_TRUE(test::exists(u.extracted(c.kept)));
      EXPECT_EQ(version_of(u.bundle), "1");
    }
  }
}

TEST(Update, LeftoversOfAnEarlierRunAreClearedOrRefused) {
  const struct {
    const char* name;
    const char* setup;  // sh, run in the sandbox root; X is the unpacking folder
    bool applies;
  } cases[] = {
      {"directory with files",
       "mkdir -p $X/Kestro.app/Contents && echo old >$X/Kestro.app/Contents/stale && touch $X/f",
       true},
      {"link to a directory elsewhere",
       "mkdir -p away/Kestro.app/Contents && printf 9 >away/Kestro.app/Contents/version.txt && "
       "ln -s \"$PWD/away\" $X",
       true},
      {"dangling link", "ln -s \"$PWD/missing\" $X", true},
      {"plain file", "echo mine >$X", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installed u;
    test::shell("cd " + sh_quote(u.box.root()) + " && X=tmp/kestro_update_extract && " + c.setup);
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive);
    if (c.applies) {
      EXPECT_EQ(result.exit_code, 0) << result.err;
      EXPECT_EQ(u.box.log_messages(result.pid).at(3),
                "replacing " + u.bundle + " with " + u.extracted());
      EXPECT_EQ(version_of(u.bundle), "2");
      EXPECT_FALSE(test::exists(u.bundle + "/Contents/stale"));
      EXPECT_FALSE(test::exists(u.box.extract_dir()));
    } else {
      u.expect_failed_before_unpacking(result, archive, "File exists (os error 17)");
      EXPECT_EQ(test::read_file(u.box.extract_dir()), "mine\n");
    }
    // A link's target is never entered.
    if (test::exists(u.box.path("away"))) {
      EXPECT_EQ(version_of(u.box.path("away/Kestro.app")), "9");
    }
  }
}

TEST(Update, UnpackingFolderIsPrivateWhenDittoRuns) {
  Installed u;
  // ditto notes the folder's mode before it unpacks.
  u.wrap_tool("ditto",
              "[ \"$1\" = -x ] && ls -ld \"$4\" | cut -c1-10 >>" + sh_quote(u.box.path("modes")));
  RunResult result = u.run(zip_one_bundle(u.box, "2"));
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(test::read_file(u.box.path("modes")), "drwx------\n");
}

TEST(Update, JobSetFollowsTheInstalledBundleName) {
  const struct {
    const char* bundle;
    bool kestro;
  } cases[] = {
      {"Kestro.app", true},       {"KESTRO.app", true},     {"Zarno.app", false},
      {"Kestro Beta.app", false}, {"kestro.v2.app", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bundle);
    Installed u(std::string("Applications/") + c.bundle);
    RunResult result = u.run(zip_one_bundle(u.box, "2"));
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(version_of(u.bundle), "2");
    EXPECT_EQ(version_of(u.bundle + ".bak"), "1");
    EXPECT_EQ(launchctl_calls(u.box.calls()),
              expected_launchctl(c.kestro ? kKestroJobs : kZarnoJobs));
  }
}

TEST(Update, HelperOutsideAnyBundleTargetsTheApplicationsFolder) {
  // The built helper lies in no bundle, so the target is the real /Applications: the prompt
  // is dismissed so that nothing runs.
  Sandbox box;
  box.add_tools();
  box.set_env("STANDIN_OSASCRIPT_CANCEL", "1");
  const std::string archive = zip_one_bundle(box, "2");
  const std::string t = "/Applications/Kestro.app";
  const std::string s = box.extract_dir() + "/Kestro.app";
  RunResult result = box.run(
      {"--wait-pid", std::to_string(test::gone_pid()), "--install", archive, "--relaunch", t});
  EXPECT_EQ(result.exit_code, 1);
  const auto log = box.log_messages(result.pid);
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log[3], "replacing " + t + " with " + s);
  EXPECT_EQ(log[4], "codesign exit: 0");  // the new bundle's seal, with nothing installed
  EXPECT_EQ(log[5], "osascript exit: 1");
  const auto calls = box.calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[1], "codesign '--verify' '--deep' '--strict' " + sh_quote(s));
  EXPECT_EQ(calls[2], "osascript '-e' " + sh_quote(script(t, s)));
}

TEST(Update, HelperStartedThroughALinkGoesByThePathItWasStartedBy) {
  // A link outside any bundle to the helper inside the installed one: the path the helper was
  // started by lies in no bundle, so the target is the real /Applications, as on a Mac; the
  // prompt is dismissed so that nothing runs.
  Installed u;
  u.box.set_env("STANDIN_OSASCRIPT_CANCEL", "1");
  test::make_dirs(u.box.path("links"));
  const std::string link = u.box.path("links/kestro-update");
  ASSERT_EQ(symlink(u.helper().c_str(), link.c_str()), 0);
  const std::string archive = zip_one_bundle(u.box, "2");
  RunResult result = u.box.run(
      {"--wait-pid", std::to_string(u.wait_pid), "--install", archive, "--relaunch", u.bundle}, {},
      link);
  EXPECT_EQ(result.exit_code, 1);
  const auto log = u.box.log_messages(result.pid);
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[3], "replacing /Applications/Kestro.app with " + u.extracted());
  EXPECT_EQ(version_of(u.bundle), "1");
}

TEST(Update, QuotesAndBackslashesInTheBundlePathStayInsideTheirWords) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  for (const char* folder : {"x'; touch PWNED; echo '", "q\"b\\s", "a\\\"; touch PWNED; \\\""}) {
    SCOPED_TRACE(folder);
    Installed u(std::string(folder) + "/Kestro.app");
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(u.box.log_messages(result.pid).at(3),
              "replacing " + u.bundle + " with " + u.extracted());
    EXPECT_EQ(version_of(u.bundle), "2");
    EXPECT_EQ(version_of(u.bundle + ".bak"), "1");
    // The shell inside got the two paths as two whole words.
    EXPECT_EQ(launchctl_calls(u.box.calls()), expected_launchctl(kKestroJobs));
    const auto calls = u.box.calls();
    ASSERT_GE(calls.size(), 7u);
    EXPECT_EQ(calls[6], "codesign '-d' '-r-' " + sh_quote(u.bundle));  // as root
    for (const std::string& dir : {u.box.root(), std::string(cwd)}) {
      const std::string planted = dir + "/PWNED";
      EXPECT_FALSE(test::exists(planted)) << planted;
      unlink(planted.c_str());
    }
  }
}

TEST(Update, RelaunchOpensTheNearestEnclosingBundle) {
  const struct {
    bool in_bundle;  // paths below are relative to the installed bundle
    const char* relaunch;
    const char* opened;
  } cases[] = {
      {true, "/Contents/MacOS/Kestro", ""},
      {true, "", ""},
      {true, "/Contents/Helpers/Agent.app/Contents/MacOS/Agent", "/Contents/Helpers/Agent.app"},
      {false, "/usr/local/bin/kestro", "/usr/local/bin/kestro"},
      {true, "/Contents/MacOS/Kestro\nFAKE done", ""},  // every log line still parses
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.relaunch);
    Installed u;
    const std::string base = c.in_bundle ? u.bundle : "";
    const std::string app = base + c.relaunch;
    const std::string opened = base + c.opened;
    RunResult result = u.run(zip_one_bundle(u.box, "2"), app);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    const auto log = u.box.log_messages(result.pid);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "applied; relaunching " + message_text(app));
    EXPECT_EQ(log[log.size() - 2], "open " + opened);
    EXPECT_EQ(u.box.calls().back(), "open " + sh_quote(opened));
  }
}

TEST(Update, CarelessStartOrBrokenLogStillUpdates) {
  const struct {
    const char* name;
    test::RunOptions options;
    const char* log;  // KESTRO_UPDATE_LOG; nullptr keeps the sandbox's
  } cases[] = {
      // An inherited ignored SIGCHLD would make the system reap every tool before the wait.
      {"SIGCHLD ignored", {false, false, true, {}}, nullptr},
      {"descriptors 0-2 closed", {true, false, false, {}}, nullptr},
      {"log device full", {}, "/dev/full"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installed u;
    if (c.log != nullptr) u.box.set_env("KESTRO_UPDATE_LOG", c.log);
    RunResult result = u.run(zip_one_bundle(u.box, "2"), "", c.options);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(version_of(u.bundle), "2");
    EXPECT_EQ(version_of(u.bundle + ".bak"), "1");
    ASSERT_EQ(u.box.calls().size(), 18u);
    EXPECT_EQ(u.box.calls().back(), "open " + sh_quote(u.bundle));
    if (c.log == nullptr) {
      EXPECT_EQ(u.box.log_messages(result.pid).back(), "done");
    }
  }
}

TEST(Update, OsascriptEndingBadlyFailsTheApply) {
  const struct {
    const char* prelude;
    const char* status;
  } cases[] = {
      {"kill -KILL $$", "signal"},
      {"exit 3", "3"},
      {"export STANDIN_DITTO_COPY_FAIL=cut", "1"},  // the root shell ends mid-copy
      {"echo 9 >\"${0%/bin/*}\"/tmp/kestro_update_extract/Kestro.app/Contents/version.txt",
       "1"},  // tampered
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prelude);
    Installed u;
    u.wrap_tool("osascript", c.prelude);
    const std::string archive = zip_one_bundle(u.box, "2");
    RunResult result = u.run(archive);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(own_lines(result.err),
              std::vector<std::string>{std::string("kestro-update: ") + kReplaceFailed});
    EXPECT_EQ(without_osascript_lines(u.box.log_messages(result.pid)),
              concat(u.up_to_prompt(archive, c.status), u.failed_tail(kReplaceFailed)));
    EXPECT_EQ(version_of(u.bundle), "1");
    EXPECT_FALSE(test::exists(u.box.extract_dir()));
    // Only a root shell cut short leaves its staging folder, where old files are cleared.
    EXPECT_EQ(rmdir(u.box.path("roottmp").c_str()) != 0,
              std::string(c.prelude).find("cut") != std::string::npos);
    EXPECT_TRUE(launchctl_calls(u.box.calls()).empty());
  }
}

TEST(Update, StopAndContinueWhileDrainingChangesNothing) {
  Installed u;
  // ditto talks for a while before it unpacks, so the helper is stopped mid-drain.
  u.wrap_tool(
      "ditto",
      "[ $1 != -x ] || { head -c 200000 /dev/zero; head -c 200000 /dev/zero >&2; sleep 0.6; }");
  test::RunOptions options;
  options.while_running = [](pid_t helper) {
    usleep(200000);
    kill(helper, SIGSTOP);
    usleep(400000);
    kill(helper, SIGCONT);
  };
  RunResult result = u.run(zip_one_bundle(u.box, "2"), "", options);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(version_of(u.bundle), "2");
  EXPECT_EQ(u.box.log_messages(result.pid).back(), "done");
}

}  // namespace
}  // namespace kestro
