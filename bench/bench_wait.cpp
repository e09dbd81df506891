// CPU time that wait_for_parent spends over one whole wait, measured in this process with
// getrusage(RUSAGE_SELF) around the call (user + system, to the microsecond).
// Usage: bench_wait PID   (PID must not be this program's child: a zombie still answers the
// probe. A `sleep 10 &` started by the calling shell, which reaps it, will do.)
// Prints: cpu_us=.. wall_ms=.. cpu_share_percent=.. ok=1
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "run/wait.h"

namespace {

double cpu_us() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_wait PID\n");
    return 2;
  }
  const auto pid = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const double cpu_before = cpu_us();
  const auto start = std::chrono::steady_clock::now();
  const auto result = kestro::wait_for_parent(pid);
  const auto stop = std::chrono::steady_clock::now();
  const double cpu = cpu_us() - cpu_before;
  const double wall_ms = std::chrono::duration<double, std::milli>(stop - start).count();
  std::printf("cpu_us=%.0f wall_ms=%.1f cpu_share_percent=%.4f ok=%d\n", cpu, wall_ms,
              cpu / 1000.0 / wall_ms * 100.0, result ? 1 : 0);
  return result ? 0 : 1;
}
