// `kestro-update --swap NEW INSTALLED BACKUP`: the step the root shell runs with the helper of
// the copy it checked. Internal to src/cli and its tests.
#pragma once

#include <string>
#include <vector>

namespace kestro {

/// Runs the swap for `args` (argv[0] excluded, "--swap" first): exactly three absolute paths,
/// else a refusal. Never logs and reads no environment variable: it runs as root, among the
/// user's files. Writes one line "kestro-update: <reason>" on standard error when it fails;
/// returns the exit status, 0 or 1.
int run_swap_mode(const std::vector<std::string>& args);

}  // namespace kestro
