// Internal to src/exec: what the three ways of running a command share.
#pragma once

#include <sys/types.h>

#include "exec/exec.h"
#include "sys/fd.h"

namespace kestro::exec_detail {

/// Both ends of a pipe.
struct Pipe {
  sys::UniqueFd read;
  sys::UniqueFd write;
};

/// A pipe with both ends close-on-exec, marked before any child can be started; the errno of
/// the failing call otherwise.
Expected<Pipe, int> make_pipe();

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
