// Process start-up and the entry's whole life: arguments in, exit status out.
#pragma once

namespace kestro {

/// Opens /dev/null on any of descriptors 0-2 that is closed, so that no file the helper opens
/// later lands there and children always find all three; ignores SIGPIPE and SIGXFSZ, so
/// that a write to a closed pipe or past the file-size limit fails instead of ending the
/// helper; and puts SIGCHLD back to its default.
void prepare_process();

/// Parses the arguments (argv[0] skipped), runs the update, writes the one failure line to
/// standard error; returns the exit status, 0 or 1.
int run_main(int argc, const char* const* argv);

}  // namespace kestro
