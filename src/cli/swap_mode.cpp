#include "cli/swap_mode.h"

#include <unistd.h>

#include "apply/swap.h"
#include "sys/io.h"

namespace kestro {

namespace {

constexpr char kRefused[] = "--swap takes three absolute paths: NEW INSTALLED BACKUP";

bool absolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

}  // namespace

int run_swap_mode(const std::vector<std::string>& args) {
  std::string error = kRefused;
  if (args.size() == 4 && absolute(args[1]) && absolute(args[2]) && absolute(args[3])) {
    auto swapped = swap_bundles(args[1], args[2], args[3]);
    if (swapped) return 0;
    error = swapped.error();
  }
  (void)sys::write_all(STDERR_FILENO, "kestro-update: " + error + "\n");
  return 1;
}

}  // namespace kestro
