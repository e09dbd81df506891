// Internal to src/exec: what the three ways of running a command share.
#pragma once

#include <sys/types.h>

#include "exec/exec.h"
#include "sys/fd.h"

namespace kestro::exec_detail {

/// A child whose standard output and error go to pipes that only the helper reads.
struct CapturedChild {
  pid_t pid = -1;
  sys::UniqueFd out;  // read ends
  sys::UniqueFd err;
};

/// Starts `command` with stdin on /dev/null and stdout and stderr on pipes, the read ends
/// non-blocking when `nonblocking` says so (before the child exists); our copies of the child's
/// ends are closed at once, or end-of-file could never arrive.
Expected<CapturedChild, SpawnError> start_captured(const Command& command, bool nonblocking);

/// Standard streams for a child: -1 keeps the helper's own descriptor.
struct ChildStreams {
  int in = -1;
  int out = -1;
  int err = -1;
};

/// Starts `command` with `streams` and returns its pid, or the errno of the failed start.
Expected<pid_t, SpawnError> start_child(const Command& command, const ChildStreams& streams);

/// How a child ended, from the status waitpid gave.
ChildStatus decode_status(int raw);

/// Waits for `pid` (retrying interrupted waits) and decodes how it ended.
CommandResult wait_child(pid_t pid);

}  // namespace kestro::exec_detail
