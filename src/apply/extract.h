// Unpacking the update archive and finding the new bundle in it.
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

/// The scratch directory: the system temporary directory joined with "kestro_update_extract".
std::string extraction_dir_path();

/// Clears the scratch directory and creates it anew, private to this user, unpacks `archive`
/// into it with ditto and finds the bundle; or the message the apply fails with: EEXIST when
/// something is left at its path, EACCES when the folder holding it lets others rename it.
Expected<ExtractedUpdate, std::string> extract_update(const std::string& archive);

/// Logs and runs "ditto -x -k ARCHIVE DIR"; the SpawnError text or "ditto extract failed: "
/// with ditto's trimmed standard error when it does not exit 0.
Expected<void, std::string> unpack_archive(const std::string& archive, const std::string& dir);

/// The first directory named *.app (links followed) at the top of `dir`, else the first one
/// a level down, in listing order; nothing when there is none or `dir` cannot be listed.
std::optional<std::string> find_app_bundle(const std::string& dir);

}  // namespace kestro
