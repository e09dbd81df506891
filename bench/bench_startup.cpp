// Start-up cost of a program, against a reference program, in the same run: each is started
// (posix_spawn, no arguments, standard streams on /dev/null) and waited for RUNS times,
// alternating the two so that drift of the machine hits both alike. Wall time from spawn to
// reap, per run.
// Usage: bench_startup RUNS PROGRAM REFERENCE
// Prints: one line per program (mean, median, exit status), then
// ratio=mean(PROGRAM)/mean(REFERENCE)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern char** environ;

namespace {

// Microseconds from spawn to reap; `status` gets the exit status (or -1).
double run_once(const char* program, int& status) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  char* argv[] = {const_cast<char*>(program), nullptr};
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int raw = 0;
  status = -1;
  if (posix_spawn(&pid, program, &actions, nullptr, argv, environ) == 0 &&
      waitpid(pid, &raw, 0) == pid && WIFEXITED(raw)) {
    status = WEXITSTATUS(raw);
  }
  const auto stop = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&actions);
  return std::chrono::duration<double, std::micro>(stop - start).count();
}

double mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: bench_startup RUNS PROGRAM REFERENCE\n");
    return 2;
  }
  const int runs = std::atoi(argv[1]);
  std::vector<double> times[2];
  int status[2] = {0, 0};
  for (int i = 0; i < runs; ++i) {
    for (int which = 0; which < 2; ++which) {
      times[which].push_back(run_once(argv[2 + which], status[which]));
    }
  }
  for (int which = 0; which < 2; ++which) {
    std::printf("%-9s %s: runs=%d mean_us=%.1f median_us=%.1f exit=%d\n",
                which == 0 ? "program" : "reference", argv[2 + which], runs, mean(times[which]),
                median(times[which]), status[which]);
  }
  std::printf("ratio=%.3f (mean program / mean reference)\n", mean(times[0]) / mean(times[1]));
  return 0;
}
