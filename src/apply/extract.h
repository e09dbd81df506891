// Unpacking the update archive and finding the new bundle in it. Internal to src/apply and
// its tests; other folders call apply_artifact (apply/apply.h).
#pragma once

#include <optional>
#include <string>

#include "sys/expected.h"

namespace kestro {

/// Where an update was unpacked, and the bundle found there.
struct ExtractedUpdate {
  std::string extraction_dir;
  std::string new_bundle;
};

/// Clears the scratch directory and creates it anew, private to this user, unpacks `archive`
/// into it with ditto and finds the bundle; or the message the apply fails with: EEXIST when
/// something is left at its path, EACCES when others could change the path leading to it.
Expected<ExtractedUpdate, std::string> extract_update(const std::string& archive);

/// The first directory named *.app (links followed) at the top of `dir`, else the first one
/// a level down, in listing order; nothing when there is none or `dir` cannot be listed.
std::optional<std::string> find_app_bundle(const std::string& dir);

}  // namespace kestro
