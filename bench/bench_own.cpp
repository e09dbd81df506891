// One process's OWN CPU time and peak resident memory, with the programs it starts left out.
//
// wait4() cannot give that: on Linux its rusage is the child's own usage PLUS that of every
// descendant the child waited for (the kernel fills it like getrusage(RUSAGE_BOTH)), so the
// tools the helper runs and reaps would be counted in. Instead:
//  - CPU: the child is left a zombie (waitid with WNOWAIT) and /proc/PID/schedstat is read.
//    Its first field is the task's own time on a CPU, user and system, in nanoseconds; a
//    zombie has finished all of its exit work, and its children's times are kept elsewhere
//    (cutime/cstime in /proc/PID/stat, printed beside it as a check).
//  - Memory (--trace only): a zombie has no memory map left, so the child is traced with
//    PTRACE_O_TRACEEXIT and VmHWM (its own peak RSS) is read from /proc/PID/status at the exit
//    stop, when its memory is still there. Only this process is traced, not its children;
//    each signal it receives (SIGCHLD from its tools) costs a stop, so the CPU figure from an
//    untraced run is the one to quote.
// The wait4 figures are printed too, to show how much the children would add.
//
// Usage: bench_own [--trace] PROGRAM [ARGS...]   (PROGRAM's standard streams: /dev/null)
// Prints: own_cpu_us=.. own_user_ticks=.. own_sys_ticks=.. children_ticks=.. peak_rss_kib=..
//         wait4_cpu_us=.. wait4_maxrss_kib=.. wall_ms=.. exit=..
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The whitespace-separated field N (1-based) of /proc/PID/stat, counted after the command
// name, whose parentheses may hold blanks.
long long stat_field(const std::string& stat, int n) {
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string word;
  for (int field = 3; field <= n; ++field) rest >> word;
  return std::stoll(word);
}

long status_kib(const std::string& status, const char* key) {
  const size_t at = status.find(key);
  if (at == std::string::npos) return -1;
  return std::strtol(status.c_str() + at + std::strlen(key), nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const bool trace = argc > 1 && std::strcmp(argv[1], "--trace") == 0;
  if (trace) ++first;
  if (first >= argc) {
    std::fprintf(stderr, "usage: bench_own [--trace] PROGRAM [ARGS...]\n");
    return 2;
  }

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
    if (null_fd > 2) close(null_fd);
    if (trace) ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execvp(argv[first], argv + first);
    _exit(127);
  }

  const std::string proc = "/proc/" + std::to_string(pid);
  long peak_rss_kib = -1;
  if (trace) {
    int raw = 0;
    waitpid(pid, &raw, 0);  // the stop right after exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL));
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    for (;;) {
      if (waitpid(pid, &raw, 0) != pid || !WIFSTOPPED(raw)) return 1;  // ended untraced?
      const int event = raw >> 16;
      if (event == PTRACE_EVENT_EXIT) {
        peak_rss_kib = status_kib(read_file(proc + "/status"), "VmHWM:");
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
        break;
      }
      // A later exec (the program may exec another) stops without a signal; any other stop
      // is a signal it was sent (SIGCHLD from its tools), which is passed on.
      const long deliver = event != 0 ? 0 : WSTOPSIG(raw);
      ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(deliver));
    }
  }
  {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) return 1;
  }
  const auto stop = std::chrono::steady_clock::now();

  // The zombie: its own totals are final now.
  const long long own_ns = std::stoll(read_file(proc + "/schedstat"));
  const std::string stat = read_file(proc + "/stat");
  const long long user_ticks = stat_field(stat, 14);
  const long long sys_ticks = stat_field(stat, 15);
  const long long children_ticks = stat_field(stat, 16) + stat_field(stat, 17);

  int raw = 0;
  rusage usage{};
  if (wait4(pid, &raw, 0, &usage) != pid) return 1;
  const double wait4_us = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
                          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);

  std::printf(
      "own_cpu_us=%.1f own_user_ticks=%lld own_sys_ticks=%lld children_ticks=%lld "
      "peak_rss_kib=%ld wait4_cpu_us=%.1f wait4_maxrss_kib=%ld wall_ms=%.1f exit=%d\n",
      static_cast<double>(own_ns) / 1e3, user_ticks, sys_ticks, children_ticks, peak_rss_kib,
      wait4_us, usage.ru_maxrss, std::chrono::duration<double, std::milli>(stop - start).count(),
      WIFEXITED(raw) ? WEXITSTATUS(raw) : -1);
  return 0;
}
