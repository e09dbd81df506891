// The one way the helper starts a system tool: by bare name through PATH, each argument
// passed as one argument (no shell), SIGPIPE and SIGXFSZ back at their default actions in the
// child, and none of the helper's own descriptors (all close-on-exec) reaching it. Only a
// watched child has a time limit.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sys/expected.h"

namespace kestro {

/// A program name (looked up in PATH) and its arguments, argv[0] excluded.
struct Command {
  std::string program;
  std::vector<std::string> args;
  /// The child's whole environment, one "NAME=value" each; the helper's own when not given.
  std::optional<std::vector<std::string>> env = std::nullopt;
};

/// Where a program is found on PATH.
struct FoundProgram {
  std::string folder;  // the PATH entry, as PATH gives it
  std::string path;    // the file itself
};

/// The first executable file named `name` in the folders of PATH, as posix_spawnp looks for it
/// ("/usr/bin:/bin" when PATH is unset); ENOENT when there is none, EACCES when the only ones
/// found may not be run.
Expected<FoundProgram, int> find_program(const std::string& name);

/// How a waited-for child ended.
struct ChildStatus {
  enum class Kind { Exited, Signalled };
  Kind kind = Kind::Exited;
  int code = 0;  // exit status byte; 0 when Signalled

  /// True exactly for Exited with code 0.
  bool success() const { return kind == Kind::Exited && code == 0; }
};

/// Starting or waiting for a child failed with this errno.
struct SpawnError {
  int error_number = 0;
  /// Description, then " (os error N)".
  std::string text() const;
};

/// What a captured child wrote, whole, and how it ended.
struct CapturedOutput {
  ChildStatus status;
  std::string out;
  std::string err;
};

using CommandResult = Expected<ChildStatus, SpawnError>;

/// Runs `command` with the helper's standard streams and waits for it to end.
CommandResult run_command(const Command& command);

/// Runs `command` with stdin on /dev/null, draining stdout and stderr together until both
/// reach end-of-file, then waits for it. A pipe read failure also comes back as SpawnError.
Expected<CapturedOutput, SpawnError> run_capture(const Command& command);

/// How long a watched child may keep the helper waiting, and what then.
struct Watch {
  std::chrono::nanoseconds limit;  // from the start, on the clock that stops during sleep
  /// Asked once the limit has passed: true ends the child (SIGTERM, then SIGKILL after
  /// `grace`), false waits on with no limit.
  std::function<bool()> give_up;
  std::chrono::nanoseconds interval = std::chrono::milliseconds(400);  // between two looks
  std::chrono::nanoseconds grace = std::chrono::seconds(2);
  size_t keep = 4096;  // the last bytes of each stream that are kept
};

/// How a watched child ended, the tails of what it wrote, and whether the limit ended it.
struct WatchedOutput {
  CapturedOutput captured;
  bool ended_at_limit = false;
};

/// Runs `command` with stdin on /dev/null, keeping the last `keep` bytes of its stdout and
/// stderr, and looks every `interval` whether it has ended, as `watch` says. The pipes are read
/// without ever blocking: what a process that outlives the child still holds is not waited for.
Expected<WatchedOutput, SpawnError> run_watched(const Command& command, const Watch& watch);

/// Starts `command` with the helper's standard streams and never waits for it.
Expected<void, SpawnError> spawn_detached(const Command& command);

/// "spawn error: <text>", the exit code in decimal, or "signal".
std::string status_text(const CommandResult& result);

}  // namespace kestro
