#include "paths/temp_dir.h"

#include <stdlib.h>

#include "sys/platform.h"

namespace kestro {

std::string system_temp_dir() {
  if (const char* tmpdir = getenv("TMPDIR")) return tmpdir;
  if (auto reported = sys::user_temp_dir()) return *reported;
  return "/tmp";
}

}  // namespace kestro
