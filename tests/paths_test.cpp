#include "paths/paths.h"
#include "paths/temp_dir.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "support/env.h"
#include "sys/platform.h"

namespace kestro {
namespace {

constexpr const char* kNone = "<none>";

std::string show(const std::optional<std::string>& value) { return value ? *value : kNone; }

TEST(Join, NeverDoublesTheSeparator) {
  const struct {
    const char* base;
    const char* name;
    const char* joined;
  } cases[] = {
      {"/", "Library/Logs", "/Library/Logs"},
      {"", "kestro-update.log", "kestro-update.log"},
      {"/var/folders/ab/cd/T/", "x", "/var/folders/ab/cd/T/x"},
      {"/var/folders/ab/cd/T", "x", "/var/folders/ab/cd/T/x"},
      {"/home/u", "/abs", "/abs"},
      {"a", "", "a/"},
      {"rel", "b/c", "rel/b/c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.name);
    EXPECT_EQ(join(c.base, c.name), c.joined);
  }
}

TEST(PathRules, Samples) {
  // path, file_name, parent, extension, file_stem, has_app_extension
  const struct {
    const char* path;
    const char* name;
    const char* parent;
    const char* ext;
    const char* stem;
    bool app;
  } cases[] = {
      {"", kNone, kNone, kNone, kNone, false},
      {"/", kNone, kNone, kNone, kNone, false},
      {".", kNone, "", kNone, kNone, false},
      {"..", kNone, "", kNone, kNone, false},
      {"a/b/..", kNone, "a/b", kNone, kNone, false},
      {"Kestro.app", "Kestro.app", "", "app", "Kestro", true},
      {"/Applications/Kestro.app", "Kestro.app", "/Applications", "app", "Kestro", true},
      {"/Applications/Kestro.app/", "Kestro.app", "/Applications", "app", "Kestro", true},
      {"/Applications/Kestro.app/.", "Kestro.app", "/Applications", "app", "Kestro", true},
      {"/Applications", "Applications", "/", kNone, "Applications", false},
      {"/Applications/.app", ".app", "/Applications", kNone, ".app", false},
      {"x.y.app", "x.y.app", "", "app", "x.y", true},
      {"x.y.App", "x.y.App", "", "App", "x.y", true},
      {"Kestro.APP", "Kestro.APP", "", "APP", "Kestro", true},
      {"Kestro.app.zip", "Kestro.app.zip", "", "zip", "Kestro.app", false},
      {"Kestro.apps", "Kestro.apps", "", "apps", "Kestro", false},
      {"Kestro.", "Kestro.", "", "", "Kestro", false},
      {"Kestro", "Kestro", "", kNone, "Kestro", false},
      {"Kestro.tar.app", "Kestro.tar.app", "", "app", "Kestro.tar", true},
      {"a//b/", "b", "a", kNone, "b", false},
      {"./b", "b", ".", kNone, "b", false},
      {"a/./b", "b", "a", kNone, "b", false},
      {"//a", "a", "/", kNone, "a", false},
      {"/./a", "a", "/", kNone, "a", false},
      {"a/../b.app", "b.app", "a/..", "app", "b", true},
      {"K\xc4\xb1.app", "K\xc4\xb1.app", "", "app", "K\xc4\xb1", true},
      {"K.\xc3\xa1pp", "K.\xc3\xa1pp", "", "\xc3\xa1pp", "K", false},  // no Unicode folding
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("path [") + c.path + "]");
    EXPECT_EQ(show(file_name(c.path)), c.name);
    EXPECT_EQ(show(parent(c.path)), c.parent);
    EXPECT_EQ(show(extension(c.path)), c.ext);
    EXPECT_EQ(show(file_stem(c.path)), c.stem);
    EXPECT_EQ(has_app_extension(c.path), c.app);
  }
}

TEST(Parent, EmptyPathEndsTheWalk) {
  EXPECT_EQ(show(parent("Kestro.app")), "");
  EXPECT_EQ(show(parent("")), kNone);
}

TEST(EnclosingAppBundle, NearestBundleWins) {
  const struct {
    const char* path;
    const char* bundle;
  } cases[] = {
      {"/Applications/Kestro.app/Contents/Library/Agent.app/Contents/MacOS/kestro-update",
       "/Applications/Kestro.app/Contents/Library/Agent.app"},
      {"/Applications/Kestro.app/Contents/MacOS/Kestro", "/Applications/Kestro.app"},
      {"/Applications/KESTRO.APP", "/Applications/KESTRO.APP"},
      {"/Applications/Kestro.app/", "/Applications/Kestro.app/"},  // kept as given
      {"Kestro.app/Contents/MacOS/x", "Kestro.app"},
      {"/usr/local/bin/kestro", kNone},
      {"/", kNone},
      {"", kNone},
      {"/Applications/.app/x", kNone},
      {"/a//K.app//Contents/", "/a//K.app"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(show(enclosing_app_bundle(c.path)), c.bundle);
  }
}

TEST(SystemTempDir, TmpdirWinsEvenWhenEmpty) {
  test::ScopedEnv tmpdir("TMPDIR", "/var/folders/ab/cd/T/");
  EXPECT_EQ(system_temp_dir(), "/var/folders/ab/cd/T/");
  tmpdir.set("");
  EXPECT_EQ(system_temp_dir(), "");
  EXPECT_EQ(join(system_temp_dir(), "kestro_update_extract"), "kestro_update_extract");
  tmpdir.set(nullptr);
  EXPECT_EQ(system_temp_dir(), sys::user_temp_dir().value_or("/tmp"));
}

}  // namespace
}  // namespace kestro
