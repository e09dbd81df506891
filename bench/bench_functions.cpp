// In-process timings of the helper's own loops, each next to a reference doing the least
// the same job needs, measured in the same run:
//   log_line            vs  open(O_APPEND) + write + close of an equal line
//   find_app_bundle     vs  readdir of the directory + one stat per entry
// The directories (10k, 20k, 100k, 200k plain files, no bundle: every call is a full scan)
// are made once before any timing, under $TMPDIR, and removed at exit.
// Usage: bench_functions [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "apply/extract.h"
#include "log/line.h"
#include "log/log.h"

namespace {

// Removes a directory tree when the program ends.
struct RemoveAtExit {
  std::string dir;
  ~RemoveAtExit() { (void)std::system(("rm -rf '" + dir + "'").c_str()); }
};

// The temporary folder every benchmark works in, removed at exit.
const std::string& work_dir() {
  static const std::string dir = [] {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    if (pattern.back() != '/') pattern += '/';
    pattern += "kestro-bench.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  static const RemoveAtExit remove{dir};  // made after `dir`, so destroyed before it
  return dir;
}

// A line as long as a typical one of a run (the start line).
const std::string kMessage =
    "start: wait_pid=4242 install=/Users/someone/Downloads/Kestro-2.zip "
    "relaunch=/Applications/Kestro.app os=macos";

void BM_LogLine(benchmark::State& state) {
  const std::string path = work_dir() + "/log/kestro-update.log";
  setenv("KESTRO_UPDATE_LOG", path.c_str(), 1);
  for (auto _ : state) kestro::log_line(kMessage);
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LogLine);

// Reference: the system calls an append of one line cannot do without.
void BM_LogLineReference(benchmark::State& state) {
  const std::string path = work_dir() + "/reference.log";
  const std::string line =
      kestro::format_log_line(1700000000, static_cast<uint64_t>(getpid()), kMessage);
  size_t written = 0;
  for (auto _ : state) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
    close(fd);
    // Start over at the size where the log rotates, as the log itself does.
    written += line.size();
    if (written > static_cast<size_t>(kestro::kLogRotateBytes)) {
      benchmark::DoNotOptimize(truncate(path.c_str(), 0));
      written = 0;
    }
  }
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LogLineReference);

// A directory of `entries` empty plain files, made on first use.
const std::string& tree(int64_t entries) {
  static std::map<int64_t, std::string> made;
  auto found = made.find(entries);
  if (found != made.end()) return found->second;
  const std::string dir = work_dir() + "/tree" + std::to_string(entries);
  mkdir(dir.c_str(), 0700);
  char name[32];
  for (int64_t i = 0; i < entries; ++i) {
    std::snprintf(name, sizeof name, "/file%07lld.txt", static_cast<long long>(i));
    int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    close(fd);
  }
  return made.emplace(entries, dir).first->second;
}

// All directories first, then their write-back to disk, so that no timing overlaps the
// file system's background work for hundreds of thousands of new files.
void make_all_trees(const benchmark::State&) {
  static const bool made = [] {
    for (int64_t entries : {10000, 20000, 100000, 200000}) tree(entries);
    sync();
    return true;
  }();
  (void)made;
}

void BM_FindAppBundle(benchmark::State& state) {
  const std::string& dir = tree(state.range(0));
  for (auto _ : state) {
    auto bundle = kestro::find_app_bundle(dir);
    if (bundle) state.SkipWithError("found a bundle where there is none");
    benchmark::DoNotOptimize(bundle);
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FindAppBundle)
    ->Setup(make_all_trees)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(100000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// Reference: list the directory and stat every entry once, nothing kept.
void BM_FindAppBundleReference(benchmark::State& state) {
  const std::string& dir = tree(state.range(0));
  for (auto _ : state) {
    DIR* listing = opendir(dir.c_str());
    int dir_fd = dirfd(listing);
    size_t directories = 0;
    while (dirent* entry = readdir(listing)) {
      struct stat st {};
      if (fstatat(dir_fd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) ++directories;
    }
    closedir(listing);
    benchmark::DoNotOptimize(directories);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FindAppBundleReference)
    ->Setup(make_all_trees)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(100000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
