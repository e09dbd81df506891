// Times one run_capture of `bench_child N` and reports this process's peak RSS.
// One capture per process, so that the peak belongs to that capture alone.
// With --floor, instead of run_capture: the least that keeping the bytes costs on
// run_capture's own path. Both pipes are drained with poll into a 64 KiB buffer, as
// run_capture does, and each piece is copied on into a buffer allocated up front at the exact
// final size (not touched beforehand): each page faulted in once, nothing reallocated.
// (Reading straight into that buffer is slower: its page faults then happen inside read(),
// while the pipe is locked and the child cannot write.)
// Usage: bench_capture [--floor] CHILD N    (CHILD: path of bench_child)
// Prints: seconds=S mib_per_s=T bytes=B peak_rss_kib=K rss_before_kib=K0
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "exec/exec.h"

extern char** environ;

namespace {

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

// The floor described above; false when the child did not write exactly `size` bytes to
// each stream or did not exit 0.
bool floor_capture(const char* child, const char* mib, size_t size) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  char* argv[] = {const_cast<char*>(child), const_cast<char*>(mib), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, child, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) return false;

  static char chunk[65536];
  std::unique_ptr<char[]> buffers[2] = {std::unique_ptr<char[]>(new char[size]),
                                        std::unique_ptr<char[]>(new char[size])};
  size_t filled[2] = {0, 0};
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  int open_streams = 2;
  bool ok = true;
  while (open_streams > 0 && ok) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      for (;;) {
        ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
          if (filled[i] + static_cast<size_t>(n) > size) {
            ok = false;
            break;
          }
          std::memcpy(buffers[i].get() + filled[i], chunk, static_cast<size_t>(n));
          filled[i] += static_cast<size_t>(n);
          continue;
        }
        if (n == 0) {
          fds[i].fd = -1;
          --open_streams;
        }
        break;
      }
    }
  }
  close(out[0]);
  close(err[0]);
  int raw = 0;
  waitpid(pid, &raw, 0);
  return ok && filled[0] == size && filled[1] == size && WIFEXITED(raw) && WEXITSTATUS(raw) == 0;
}

}  // namespace

// One result line: time, throughput over both streams, and peak memory.
int report(std::chrono::steady_clock::duration took, size_t expected, long rss_before) {
  const double seconds = std::chrono::duration<double>(took).count();
  const double bytes = 2.0 * static_cast<double>(expected);
  std::printf("seconds=%.4f mib_per_s=%.1f bytes=%.0f peak_rss_kib=%ld rss_before_kib=%ld\n",
              seconds, bytes / (1024.0 * 1024.0) / seconds, bytes, peak_rss_kib(), rss_before);
  return 0;
}

int main(int argc, char** argv) {
  const bool floor = argc == 4 && std::strcmp(argv[1], "--floor") == 0;
  if (floor) ++argv, --argc;
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_capture [--floor] CHILD MIB\n");
    return 2;
  }
  const long mib = std::strtol(argv[2], nullptr, 10);
  const size_t expected = static_cast<size_t>(mib) * 1024 * 1024;
  const long before = peak_rss_kib();

  if (floor) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = floor_capture(argv[1], argv[2], expected);
    const auto stop = std::chrono::steady_clock::now();
    if (!ok) {
      std::fprintf(stderr, "bench_capture: wrong capture\n");
      return 1;
    }
    return report(stop - start, expected, before);
  }

  const auto start = std::chrono::steady_clock::now();
  auto result = kestro::run_capture({argv[1], {argv[2]}});
  const auto stop = std::chrono::steady_clock::now();

  if (!result) {
    std::fprintf(stderr, "bench_capture: %s\n", result.error().text().c_str());
    return 1;
  }
  const auto& captured = result.value();
  if (!captured.status.success() || captured.out.size() != expected ||
      captured.err.size() != expected) {
    std::fprintf(stderr, "bench_capture: wrong capture (out %zu, err %zu bytes)\n",
                 captured.out.size(), captured.err.size());
    return 1;
  }
  return report(stop - start, expected, before);
}
