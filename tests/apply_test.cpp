#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "apply/extract.h"
#include "apply/replace.h"
#include "apply/services.h"
#include "support/env.h"
#include "support/harness.h"
#include "support/platform.h"

namespace kestro {
namespace {

TEST(BuildReplaceScript, PlainPathsGiveTheExactLine) {
  const std::string t = "/Applications/Kestro.app";
  const std::string x = "/var/folders/ab/cd/T/kestro_update_extract";
  EXPECT_EQ(
      build_replace_script(
          {t, x + "/Kestro.app", x, "Contents/MacOS/kestro-update", 501, 20, true}),
      R"(do shell script "rm '/var/folders/ab/cd/T/kestro_update_extract/prompt-open' && d=$(getconf DARWIN_USER_TEMP_DIR) && [ -n \"$d\" ] && n=$(mktemp -d \"${d}kestro-update.XXXXXX\") && ditto -X --noacl --noqtn '/var/folders/ab/cd/T/kestro_update_extract/Kestro.app' \"$n\"/'Kestro.app' && [ -d \"$n\"/'Kestro.app' ] && [ ! -h \"$n\"/'Kestro.app' ] && chown -R 501:20 \"$n\"/'Kestro.app' && chmod -R go-w \"$n\"/'Kestro.app' && r=$(codesign -d -r- '/Applications/Kestro.app' 2>&1 | sed -n 's/^#* *designated => //p') && [ -n \"$r\" ] && codesign --verify --deep --strict --test-requirement \"=$r\" \"$n\"/'Kestro.app' || { rm -rf \"$n\"; exit 1; }; \"$n\"/'Kestro.app'/'Contents/MacOS/kestro-update' --swap \"$n\"/'Kestro.app' '/Applications/Kestro.app' '/Applications/Kestro.app.bak' || { rm -rf \"$n\"; exit 1; }; rm -rf \"$n\"; true" with administrator privileges)");
}

TEST(BuildReplaceScript, QuotesAndBackslashesAreEscapedForShellThenAppleScript) {
  const struct {
    const char* target;
    const char* extraction;  // the new bundle, K.app, lies in it
    const char* script;
  } cases[] = {
      {"/A/x'y.app", "/s",
       R"(do shell script "rm '/s/prompt-open' && d=$(getconf DARWIN_USER_TEMP_DIR) && [ -n \"$d\" ] && n=$(mktemp -d \"${d}kestro-update.XXXXXX\") && ditto -X --noacl --noqtn '/s/K.app' \"$n\"/'x'\\''y.app' && [ -d \"$n\"/'x'\\''y.app' ] && [ ! -h \"$n\"/'x'\\''y.app' ] && chown -R 0:0 \"$n\"/'x'\\''y.app' && chmod -R go-w \"$n\"/'x'\\''y.app' && codesign --verify --deep --strict \"$n\"/'x'\\''y.app' && sync || { rm -rf \"$n\"; exit 1; }; rm -rf '/A/x'\\''y.app.bak' && mv '/A/x'\\''y.app' '/A/x'\\''y.app.bak' 2>/dev/null; [ ! -e '/A/x'\\''y.app' ] && mv \"$n\"/'x'\\''y.app' '/A/x'\\''y.app' || { rm -rf \"$n\"; [ -e '/A/x'\\''y.app' ] || mv '/A/x'\\''y.app.bak' '/A/x'\\''y.app' 2>/dev/null; exit 1; }; rm -rf \"$n\"; true" with administrator privileges)"},
      {"/A/K.app", "/s/q\"b\\s",
       R"(do shell script "rm '/s/q\"b\\s/prompt-open' && d=$(getconf DARWIN_USER_TEMP_DIR) && [ -n \"$d\" ] && n=$(mktemp -d \"${d}kestro-update.XXXXXX\") && ditto -X --noacl --noqtn '/s/q\"b\\s/K.app' \"$n\"/'K.app' && [ -d \"$n\"/'K.app' ] && [ ! -h \"$n\"/'K.app' ] && chown -R 0:0 \"$n\"/'K.app' && chmod -R go-w \"$n\"/'K.app' && codesign --verify --deep --strict \"$n\"/'K.app' && sync || { rm -rf \"$n\"; exit 1; }; rm -rf '/A/K.app.bak' && mv '/A/K.app' '/A/K.app.bak' 2>/dev/null; [ ! -e '/A/K.app' ] && mv \"$n\"/'K.app' '/A/K.app' || { rm -rf \"$n\"; [ -e '/A/K.app' ] || mv '/A/K.app.bak' '/A/K.app' 2>/dev/null; exit 1; }; rm -rf \"$n\"; true" with administrator privileges)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string extraction = c.extraction;
    EXPECT_EQ(build_replace_script({c.target, extraction + "/K.app", extraction, "", 0, 0, false}),
              c.script);
  }
}

TEST(ServicePlistsFor, OnlyTheExactStemKestroLoadsKestroJobs) {
  const struct {
    const char* target;
    bool kestro;
  } cases[] = {
      {"/Applications/Kestro.app", true},
      {"/Applications/KESTRO.app", true},
      {"/Applications/kestro.APP", true},
      {"/Applications/Kestro.app/", true},
      {"/Applications/Kestro", true},
      {"/Applications/Zarno.app", false},
      {"/Applications/Kestro Beta.app", false},
      {"/Applications/Kestro2.app", false},
      {"/Applications/Kestro.tar.app", false},
      {"/", false},
      {"/Applications/K\xc3\xa9stro.app", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string product = c.kestro ? "Kestro" : "Zarno";
    const JobSet& jobs = service_plists_for(c.target);
    EXPECT_EQ(std::vector<std::string>(jobs.begin(), jobs.end()),
              (std::vector<std::string>{
                  "/Library/LaunchDaemons/com.tallowmere." + product + "_dispatcher.plist",
                  "/Library/LaunchAgents/com.tallowmere." + product + "_session.plist",
                  "/Library/LaunchAgents/com.tallowmere." + product + "_launcher.plist"}));
  }
}

TEST(ResolveTargetBundle, OutsideAnyBundleFallsBackToApplications) {
  // The test binary lies in no bundle.
  auto target = resolve_target_bundle("/tmp/kestro_update_extract/payload/Kestro 2.app").value();
  EXPECT_EQ(target.path, "/Applications/Kestro 2.app");
  EXPECT_EQ(target.helper, "");
}

TEST(FindAppBundle, TopLevelFirstThenOneLevelDown) {
  const struct {
    const char* name;
    std::vector<const char*> dirs;                           // made with mkdir -p
    std::vector<const char*> files;                          // plain files
    std::vector<std::pair<const char*, const char*>> links;  // name -> target
    const char* found;  // relative to the scanned directory; nullptr: none
  } cases[] = {
      {"top level", {"Kestro.app/Contents"}, {}, {}, "Kestro.app"},
      {"one level down", {"payload/Kestro.app"}, {}, {}, "payload/Kestro.app"},
      {"two levels down", {"a/b/Kestro.app"}, {}, {}, nullptr},
      {"top wins", {"Other/Inner.app", "Kestro.app"}, {}, {}, "Kestro.app"},
      {"plain file skipped", {}, {"Kestro.app"}, {}, nullptr},
      {"upper case", {"Kestro.APP"}, {}, {}, "Kestro.APP"},
      {"dot only", {".app", "Kestro.app.old"}, {}, {}, nullptr},
      {"link to a directory", {"real"}, {}, {{"Kestro.app", "real"}}, "Kestro.app"},
      {"dangling link", {}, {}, {{"Kestro.app", "missing"}}, nullptr},
      {"empty", {}, {}, {}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    for (const char* d : c.dirs) test::make_dirs(dir / d);
    for (const char* f : c.files) test::write_file(dir / f, "x");
    for (const auto& [name, target] : c.links) {
      ASSERT_EQ(symlink(target, (dir / name).c_str()), 0);
    }
    auto found = find_app_bundle(dir.path());
    if (c.found == nullptr) {
      EXPECT_FALSE(found.has_value()) << *found;
    } else {
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(*found, dir / c.found);
    }
  }
  EXPECT_FALSE(find_app_bundle("/nonexistent/kestro").has_value());
}

TEST(ExtractUpdate, RefusesAScratchDirectoryItDoesNotOwnAlone) {
  // In a shared sticky directory another user's leftovers cannot be removed by us. Root
  // plays the other user; a child that dropped to "nobody" plays the helper.
  if (const char* why = test::other_user_skip_reason()) GTEST_SKIP() << why;
  const struct {
    const char* name;
    const char* setup;  // sh, run as root in the shared directory
  } cases[] = {
      {"foreign directory", "mkdir -m 777 kestro_update_extract && touch kestro_update_extract/f"},
      {"foreign link", "mkdir -m 777 elsewhere && ln -s elsewhere kestro_update_extract"},
      {"plain file", "touch kestro_update_extract"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    test::shell("cd " + test::sh_quote(dir.path()) + " && " + c.setup);
    pid_t child = fork();
    if (child == 0) {
      if (setuid(test::other_user_id()) != 0) _exit(3);
      setenv("TMPDIR", dir.path().c_str(), 1);
      setenv("PATH", "/nonexistent", 1);  // ditto must never run anyway
      setenv("KESTRO_UPDATE_LOG", "/dev/null", 1);
      auto result = extract_update("update.zip");
      _exit(!result.ok() && result.error() == "File exists (os error 17)" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

TEST(ExtractUpdate, CreatesTheScratchDirectoryPrivate) {
  test::TempDir dir;
  const std::string tmpdir = dir / "new/parents/";
  auto result = [&] {
    test::ScopedEnv temp("TMPDIR", tmpdir.c_str());
    test::ScopedEnv log("KESTRO_UPDATE_LOG", "/dev/null");
    test::ScopedEnv path("PATH", "/nonexistent");
    return extract_update("update.zip");
  }();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "No such file or directory (os error 2)");  // no ditto on PATH
  struct stat st {};
  ASSERT_EQ(lstat((tmpdir + "kestro_update_extract").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace kestro
