#include "log/log.h"
#include "log/line.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/env.h"
#include "support/harness.h"

namespace kestro {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

TEST(UtcTimestamp, CivilFromDays) {
  const struct {
    uint64_t seconds;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {951782400, "2000-02-29T00:00:00Z"},   // leap day of a year divisible by 400
      {4107542400, "2100-03-01T00:00:00Z"},  // 2100 has no 29 February
      {4107542399, "2100-02-28T23:59:59Z"},
      {253402300800, "10000-01-01T00:00:00Z"},
      {1796597225, "2026-12-06T22:47:05Z"},
      {86399, "1970-01-01T23:59:59Z"},
      // The last second of every month of a leap year, and of a century year.
      {1706745599, "2024-01-31T23:59:59Z"},
      {1709251199, "2024-02-29T23:59:59Z"},
      {1711929599, "2024-03-31T23:59:59Z"},
      {1714521599, "2024-04-30T23:59:59Z"},
      {1717199999, "2024-05-31T23:59:59Z"},
      {1719791999, "2024-06-30T23:59:59Z"},
      {1722470399, "2024-07-31T23:59:59Z"},
      {1725148799, "2024-08-31T23:59:59Z"},
      {1727740799, "2024-09-30T23:59:59Z"},
      {1730419199, "2024-10-31T23:59:59Z"},
      {1733011199, "2024-11-30T23:59:59Z"},
      {1735689599, "2024-12-31T23:59:59Z"},
      {4133980799, "2100-12-31T23:59:59Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(utc_timestamp(c.seconds), c.text);
  }
}

TEST(FormatLogLine, LayoutIsExact) {
  EXPECT_EQ(format_log_line(1796597225, 4242, "parent exited; applying artifact"),
            "[2026-12-06T22:47:05Z] pid=4242 parent exited; applying artifact\n");
  EXPECT_EQ(format_log_line(0, 7, ""), "[1970-01-01T00:00:00Z] pid=7 \n");
  EXPECT_EQ(format_log_line(0, 7, "a\nb"), "[1970-01-01T00:00:00Z] pid=7 a\nb\n");
}

// The log's environment, unset for one test and put back afterwards.
class LogEnv : public testing::Test {
 protected:
  test::ScopedEnv log_{"KESTRO_UPDATE_LOG", nullptr};
  test::ScopedEnv home_{"HOME", nullptr};
  test::ScopedEnv tmpdir_{"TMPDIR", nullptr};
};

using LogFilePath = LogEnv;

TEST_F(LogFilePath, FirstRuleThatAppliesWins) {
  const struct {
    const char* log;  // nullptr: unset
    const char* home;
    const char* tmpdir;
    const char* path;
  } cases[] = {
      {"/x/u.log", "/home/u", "/t/", "/x/u.log"},
      {"rel.log", "/home/u", "/t/", "rel.log"},
      {"", "/home/u", "/t/", "/home/u/Library/Logs/kestro-update.log"},
      {nullptr, "/home/u/", "/t/", "/home/u/Library/Logs/kestro-update.log"},
      {nullptr, "/", "/t/", "/Library/Logs/kestro-update.log"},
      {nullptr, "", "/t/", "/t/kestro-update.log"},
      {nullptr, nullptr, "/t/", "/t/kestro-update.log"},
      {nullptr, nullptr, "/t", "/t/kestro-update.log"},
      {nullptr, nullptr, "", "kestro-update.log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    log_.set(c.log);
    home_.set(c.home);
    tmpdir_.set(c.tmpdir);
    EXPECT_EQ(log_file_path(), c.path);
  }
}

using LogLine = LogEnv;

TEST_F(LogLine, CreatesTheDirectoryChainAndAppends) {
  TempDir dir;
  const std::string path = dir / "a/b/c/update.log";
  log_.set(path.c_str());
  const time_t before = time(nullptr);
  log_line("first");
  const time_t after = time(nullptr);
  log_line("");
  const std::string content = read_file(path);
  const std::string stamp = content.substr(1, 20);  // stamped from the wall clock
  EXPECT_TRUE(stamp == utc_timestamp(static_cast<uint64_t>(before)) ||
              stamp == utc_timestamp(static_cast<uint64_t>(after)))
      << stamp;
  const std::string prefix = "] pid=" + std::to_string(getpid()) + " ";
  EXPECT_NE(content.find(prefix + "first\n"), std::string::npos) << content;
  EXPECT_EQ(content.substr(content.size() - prefix.size() - 1), prefix + "\n");
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 2);
}

TEST_F(LogLine, RotatesOnlyAboveTheLimit) {
  TempDir dir;
  const std::string path = dir / "update.log";
  log_.set(path.c_str());

  write_file(path, std::string(1048576, 'x'));  // exactly 1 MiB stays
  log_line("kept");
  EXPECT_FALSE(test::exists(path + ".1"));

  write_file(path, std::string(1048577, 'x'));  // one byte more moves
  write_file(path + ".1", "older generation");
  log_line("rotated");
  EXPECT_EQ(read_file(path + ".1"), std::string(1048577, 'x'));
  const std::string fresh = read_file(path);
  EXPECT_EQ(fresh.find('['), 0u);
  EXPECT_NE(fresh.find(" rotated\n"), std::string::npos);
  EXPECT_EQ(std::count(fresh.begin(), fresh.end(), '\n'), 1);
}

TEST_F(LogLine, FailedRotationAppendsToTheLargeFile) {
  TempDir dir;
  const std::string path = dir / "update.log";
  log_.set(path.c_str());
  write_file(path, std::string(kLogRotateBytes + 1, 'x'));
  test::make_dirs(path + ".1/occupied");  // a non-empty directory: the rename must fail
  log_line("appended");
  const std::string content = read_file(path);
  EXPECT_EQ(
      content.size(),
      kLogRotateBytes + 1 + format_log_line(0, static_cast<uint64_t>(getpid()), "appended").size());
  EXPECT_EQ(content.substr(content.size() - 10), " appended\n");
}

TEST_F(LogLine, UnwritableLogIsSilentlyDropped) {
  TempDir dir;
  test::make_dirs(dir / "is-a-dir");
  for (const std::string& path : {dir / "is-a-dir", dir / "file/under-a-file.log"}) {
    write_file(dir / "file", "plain");
    log_.set(path.c_str());
    log_line("lost");  // returns normally, writes nothing anywhere
  }
  EXPECT_EQ(read_file(dir / "file"), "plain");
}

}  // namespace
}  // namespace kestro
