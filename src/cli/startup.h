// Process start-up and the entry's whole life: arguments in, exit status out.
#pragma once

namespace kestro {

/// Makes descriptors 0-2 and the signal dispositions safe, parses the arguments (argv[0]
/// skipped), runs the update, writes the one failure line to standard error; returns the exit
/// status, 0 or 1.
int run_main(int argc, const char* const* argv);

}  // namespace kestro
