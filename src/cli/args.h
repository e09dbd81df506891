// The command line: --wait-pid PID --install ARCHIVE --relaunch APP, in any order.
#pragma once

#include <string>
#include <vector>

#include "run/update.h"

namespace kestro {

/// Why a command line was refused.
struct ArgvError {
  enum class Kind { MissingFlag, InvalidPid, EmptyPath, InvalidUtf8 };
  Kind kind = Kind::MissingFlag;
  const char* flag = "";  // MissingFlag only: the flag, "unknown flag" or "unknown positional"

  /// "MissingFlag(\"--install\")", "InvalidPid", "EmptyPath" or "InvalidUtf8".
  std::string display() const;
};

/// Parses the arguments (argv[0] excluded): the request from each flag's last value, or the
/// first error met, left to right.
Expected<UpdateRequest, ArgvError> parse_args(const std::vector<std::string>& args);

}  // namespace kestro
