// The update log: one time-stamped line per event, appended to a file that rotates once it
// passes 1 MiB. Logging never fails a run: a line that cannot be written is dropped.
#pragma once

#include <string_view>

namespace kestro {

/// Appends "[<UTC time>] pid=<pid> <message>\n" to the log; silent on every failure.
void log_line(std::string_view message);

}  // namespace kestro
