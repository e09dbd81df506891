#include "cli/args.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

using Args = std::vector<std::string>;

// Each refused command line and the display text it is refused with.
TEST(ParseArgs, RefusesWithTheFirstError) {
  const struct {
    Args args;
    const char* display;
  } cases[] = {
      {{}, "MissingFlag(\"--wait-pid\")"},
      {{"--wait-pid", "12", "--install", "a.zip"}, "MissingFlag(\"--relaunch\")"},
      {{"--wait-pid", "12", "--relaunch", "/A"}, "MissingFlag(\"--install\")"},
      {{"--install", "a.zip", "--relaunch", "/A"}, "MissingFlag(\"--wait-pid\")"},
      {{"--install", "a.zip"}, "MissingFlag(\"--wait-pid\")"},  // first absent in fixed order
      {{"--wait-pid=12"}, "MissingFlag(\"unknown flag\")"},
      {{"-h"}, "MissingFlag(\"unknown flag\")"},
      {{"--help"}, "MissingFlag(\"unknown flag\")"},
      {{"-"}, "MissingFlag(\"unknown flag\")"},
      {{"--INSTALL", "a.zip"}, "MissingFlag(\"unknown flag\")"},
      {{"--wait-pid", "1", "--install", "a", "--relaunch", "b", "stray"},
       "MissingFlag(\"unknown positional\")"},
      {{"--wait-pid", "1", "--install", "a", "--relaunch", "b", ""},
       "MissingFlag(\"unknown positional\")"},
      {{"--install", "--relaunch", "/x", "--wait-pid", "5"}, "MissingFlag(\"unknown positional\")"},
      {{"--relaunch", "/a", "--wait-pid", "5", "--install", "b.zip", "--relaunch"},
       "MissingFlag(\"--relaunch\")"},
      {{"--wait-pid"}, "MissingFlag(\"--wait-pid\")"},
      {{"--wait-pid", "4294967296"}, "InvalidPid"},
      {{"--wait-pid", "-1"}, "InvalidPid"},
      {{"--wait-pid", "+"}, "InvalidPid"},
      {{"--wait-pid", "++1"}, "InvalidPid"},
      {{"--wait-pid", " 1"}, "InvalidPid"},
      {{"--wait-pid", "1 "}, "InvalidPid"},
      {{"--wait-pid", ""}, "InvalidPid"},
      {{"--wait-pid", "0x10"}, "InvalidPid"},
      {{"--wait-pid", "99999999999999999999999"}, "InvalidPid"},
      {{"--install", "", "--install", "b.zip"}, "EmptyPath"},
      {{"--wait-pid", "1", "--install", "a", "--relaunch", ""}, "EmptyPath"},
      // An error ends parsing: what follows is never looked at.
      {{"--wait-pid", "x", "--bogus"}, "InvalidPid"},
      {{"stray", "--wait-pid", "x"}, "MissingFlag(\"unknown positional\")"},
      // Invalid UTF-8 is refused wherever parsing reaches it, before any other test.
      {{"--wait-pid", "1", "--install", "a\xff.zip", "--relaunch", "/A"}, "InvalidUtf8"},
      {{"--wait-pid", "\xff"}, "InvalidUtf8"},
      {{"\xc0\xaf"}, "InvalidUtf8"},
      {{"--install", "\xed\xa0\x80", "--relaunch", "/A", "--wait-pid", "1"}, "InvalidUtf8"},
      // ... but not where parsing never reaches.
      {{"--wait-pid", "x", "\xff"}, "InvalidPid"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    auto result = parse_args(c.args);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().display(), c.display);
  }
}

TEST(ParseArgs, AcceptsAndKeepsTheLastValues) {
  const struct {
    Args args;
    uint32_t pid;
    const char* install;
    const char* relaunch;
  } cases[] = {
      {{"--relaunch", "/A/K.app", "--wait-pid", "12", "--install", "a.zip"},
       12,
       "a.zip",
       "/A/K.app"},
      {{"--wait-pid", "+12", "--install", "a", "--relaunch", "b"}, 12, "a", "b"},
      {{"--wait-pid", "007", "--install", "a", "--relaunch", "b"}, 7, "a", "b"},
      {{"--wait-pid", "0", "--install", "a", "--relaunch", "b"}, 0, "a", "b"},
      {{"--wait-pid", "4294967295", "--install", "a", "--relaunch", "b"}, 4294967295u, "a", "b"},
      {{"--wait-pid", "5", "--wait-pid", "7", "--install", "a", "--relaunch", "b"}, 7, "a", "b"},
      // A value is taken whatever it looks like, and is never trimmed or normalised.
      {{"--wait-pid", "1", "--install", "--relaunch", "--relaunch", "-x"}, 1, "--relaunch", "-x"},
      {{"--wait-pid", "1", "--install", " ./a//b.zip ", "--relaunch", "Kestro.app/"},
       1,
       " ./a//b.zip ",
       "Kestro.app/"},
      {{"--wait-pid", "1", "--install", "é.zip", "--relaunch", "/Applications/Késtro.app"},
       1,
       "é.zip",
       "/Applications/Késtro.app"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.install);
    auto result = parse_args(c.args);
    ASSERT_TRUE(result.ok()) << result.error().display();
    EXPECT_EQ(result.value().wait_pid, c.pid);
    EXPECT_EQ(result.value().install, c.install);
    EXPECT_EQ(result.value().relaunch, c.relaunch);
  }
}

}  // namespace
}  // namespace kestro
