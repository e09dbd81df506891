// Reloading the product's launchd jobs after a new bundle is in place. Internal to src/apply
// and its tests.
#pragma once

#include <array>
#include <string>

namespace kestro {

/// The property lists of a product's daemon and two agents, in the order they are reloaded.
using JobSet = std::array<const char*, 3>;

/// Kestro's jobs when the file stem of `target_bundle` is "kestro" in any ASCII case, else
/// Zarno's.
const JobSet& service_plists_for(const std::string& target_bundle);

/// "launchctl unload" for all six jobs, then "launchctl load -w" for the installed product's
/// three; outcomes are ignored, since a job that cannot be reloaded must not undo an update.
void reload_services(const std::string& target_bundle);

}  // namespace kestro
