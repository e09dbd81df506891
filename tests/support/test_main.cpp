// The test binary doubles as a purpose-built child process: with KESTRO_TEST_CHILD set it
// plays one small part (flood both pipes, report its descriptors, ...) instead of running
// the tests, so a process test keeps both of its sides in one place.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "cli/args.h"

namespace {

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) _exit(3);
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Descriptors from `first` on that are open, as " 3 7 20" (a leading blank before each).
std::string open_fds(int first = 3) {
  std::string out;
  for (int fd = first; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) out += " " + std::to_string(fd);
  }
  return out;
}

int child_main(const std::string& mode, int argc, char** argv) {
  if (mode.rfind("helper:", 0) == 0) {
    // The helper's whole run, with the prompt's limit cut to this many seconds.
    const std::chrono::seconds limit(atoi(mode.c_str() + 7));
    auto request = kestro::parse_args({argv + 1, argv + argc});
    if (!request) return 2;
    return kestro::run_update(request.value(), kestro::real_phases(limit)) ? 0 : 1;
  }
  if (mode.rfind("flood:", 0) == 0) {
    // Interleaved 4 KiB blocks, a different byte per stream and block, so that a lost or
    // misplaced block shows.
    const long total = atol(mode.c_str() + 6);
    char block[4096];
    for (long done = 0, i = 0; done < total; done += sizeof block, ++i) {
      memset(block, 'a' + static_cast<int>(i % 26), sizeof block);
      write_all(1, block, sizeof block);
      memset(block, 'A' + static_cast<int>(i % 26), sizeof block);
      write_all(2, block, sizeof block);
    }
    return 0;
  }
  if (mode.rfind("exit:", 0) == 0) return atoi(mode.c_str() + 5);
  if (mode == "kill") {
    raise(SIGKILL);
    return 99;
  }
  if (mode == "fds") {
    std::string line = open_fds() + "\n";
    write_all(1, line.data(), line.size());
    return 0;
  }
  if (mode == "fds-report") {
    // Run as a tool of the helper: record what the helper let through.
    const std::string fds = open_fds(0);  // before the report file adds one
    FILE* out = fopen(getenv("FD_REPORT"), "a");
    if (out == nullptr) return 4;
    fprintf(out, "%s\n", fds.c_str());
    fclose(out);
    return 0;
  }
  if (mode == "signals") {
    auto disposition = [](int signal_number) {
      struct sigaction current {};
      sigaction(signal_number, nullptr, &current);
      return current.sa_handler == SIG_IGN ? "ignored" : "default";
    };
    const std::string text =
        std::string("SIGPIPE ") + disposition(SIGPIPE) + ", SIGXFSZ " + disposition(SIGXFSZ) + "\n";
    write_all(1, text.data(), text.size());
    return 0;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* mode = getenv("KESTRO_TEST_CHILD")) return child_main(mode, argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
