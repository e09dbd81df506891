#include "apply/extract.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "exec/exec.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/temp_dir.h"
#include "paths/text.h"
#include "sys/fs.h"
#include "sys/os_error.h"
#include "sys/safe_path.h"

namespace kestro {

namespace {

constexpr char kNoBundle[] = "no .app bundle found in update zip";

std::optional<std::string> first_bundle(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (has_app_extension(path) && sys::is_directory(path)) return path;
  }
  return std::nullopt;
}

// Full paths of the entries of `dir` in listing order; none when it cannot be listed.
std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> paths;
  auto names = sys::list_directory(dir);
  if (names) {
    for (const std::string& name : names.value()) paths.push_back(join(dir, name));
  }
  return paths;
}

// The scratch directory: the system temporary directory joined with "kestro_update_extract",
// made absolute. Its bundle's path goes to a root shell, whose working directory is not ours.
Expected<std::string, int> extraction_dir_path() {
  return sys::absolute_path(join(system_temp_dir(), "kestro_update_extract"));
}

// Logs and runs "ditto -x -k ARCHIVE DIR"; the SpawnError text or "ditto extract failed: "
// with ditto's trimmed standard error when it does not exit 0.
Expected<void, std::string> unpack_archive(const std::string& archive, const std::string& dir) {
  log_line("ditto -x -k " + message_text(archive) + " -> " + message_text(dir));
  auto result = run_capture({"ditto", {"-x", "-k", archive, dir}});
  if (!result) return fail(result.error().text());
  if (!result.value().status.success()) {
    return fail("ditto extract failed: " +
                message_text(trim_white_space(to_text(result.value().err))));
  }
  return {};
}

}  // namespace

Expected<ExtractedUpdate, std::string> extract_update(const std::string& archive) {
  auto absolute = extraction_dir_path();
  if (!absolute) return fail(sys::os_error_text(absolute.error()));
  const std::string& dir = absolute.value();
  const std::string holder = parent(dir).value_or("/");
  auto created = sys::create_directories(holder, 0777, 0777);
  // Something other than a directory in the holder's place lies on the way to ours.
  if (!created) {
    return fail(sys::os_error_text(created.error() == EEXIST ? ENOTDIR : created.error()));
  }
  // The unpacked tree is later copied by a command running as root, after an authorization
  // prompt that may stay open for minutes. Whoever may rename or re-point anything on the way
  // to our folder could swap the bundle meanwhile, so the whole path must be ours or root's.
  if (auto safe = sys::check_safe_path(holder); !safe) {
    return fail(sys::os_error_text(safe.error()));
  }
  sys::remove_tree(dir);  // an earlier run's leftovers
  // Only a directory made here and now is unpacked into: whatever the removal could not
  // take away makes this fail with EEXIST, so an earlier run's bundle is never found.
  if (mkdir(dir.c_str(), 0700) != 0) {
    int error = errno;
    return fail(sys::os_error_text(error));
  }

  if (auto unpacked = unpack_archive(archive, dir); !unpacked) return fail(unpacked.error());

  auto bundle = find_app_bundle(dir);
  if (!bundle) return fail(std::string(kNoBundle));
  return ExtractedUpdate{dir, *bundle};
}

std::optional<std::string> find_app_bundle(const std::string& dir) {
  // A directory that cannot be listed has no bundle, like an empty one.
  const std::vector<std::string> top = listing(dir);
  if (auto bundle = first_bundle(top)) return bundle;
  for (const std::string& path : top) {
    if (!sys::is_directory(path)) continue;
    if (auto bundle = first_bundle(listing(path))) return bundle;
  }
  return std::nullopt;
}

}  // namespace kestro
