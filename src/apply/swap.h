// The root shell's last step: the checked copy takes the installed bundle's place in one step.
// The --swap mode (cli/swap_mode.h) runs it.
#pragma once

#include <string>

#include "sys/expected.h"

namespace kestro {

/// Puts the bundle `fresh` at `installed` and keeps the build that was there at `backup`:
/// flushes `fresh` to the disk, exchanges the two names in one step, removes an older `backup`
/// and moves the old build there (left at `fresh` when that fails), and flushes the folder.
/// Where the volume cannot exchange names, moves `installed` to `backup` and `fresh` to
/// `installed`, removing whatever comes back at `installed` meanwhile, at most three times, and
/// moves the old build back when that fails. Fails, with "cannot flush …", "cannot exchange …"
/// or "cannot move …" and the OS error text, with the old build in place.
Expected<void, std::string> swap_bundles(const std::string& fresh, const std::string& installed,
                                         const std::string& backup);

}  // namespace kestro
