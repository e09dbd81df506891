#include "apply/extract.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "exec/exec.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/text.h"
#include "sys/fs.h"
#include "sys/os_error.h"

namespace kestro {

namespace {

constexpr char kNoBundle[] = "no .app bundle found in update zip";

// The unpacked tree is later copied by a command running as root. With a shared temporary
// directory ("/tmp", or a TMPDIR several users share), another user could have left a
// directory or link here that we cannot remove, and swap the bundle between the unpacking
// and the copy. So the directory must be ours alone: a real directory, owned by us, not
// writable by anyone else. Anything else is refused as "something is in the way".
Expected<void, std::string> check_private(const std::string& dir) {
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    int error = errno;
    return fail(sys::os_error_text(error));
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return fail(sys::os_error_text(EEXIST));
  }
  return {};
}

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

}  // namespace

std::string extraction_dir_path() { return join(system_temp_dir(), "kestro_update_extract"); }

Expected<ExtractedUpdate, std::string> extract_update(const std::string& archive) {
  const std::string dir = extraction_dir_path();
  sys::remove_tree(dir);  // an earlier run's leftovers; failures are for the checks below
  if (int error = sys::create_directories(dir, 0777, 0700); error != 0) {
    return fail(sys::os_error_text(error));
  }
  if (auto private_dir = check_private(dir); !private_dir) return fail(private_dir.error());

  if (auto unpacked = unpack_archive(archive, dir); !unpacked) return fail(unpacked.error());

  auto bundle = find_app_bundle(dir);
  if (!bundle) return fail(std::string(kNoBundle));
  return ExtractedUpdate{dir, *bundle};
}

Expected<void, std::string> unpack_archive(const std::string& archive, const std::string& dir) {
  log_line("ditto -x -k " + to_text(archive) + " -> " + to_text(dir));
  auto result = run_capture({"ditto", {"-x", "-k", archive, dir}});
  if (!result) return fail(result.error().text());
  if (!result.value().status.success()) {
    return fail("ditto extract failed: " +
                std::string(trim_white_space(to_text(result.value().err))));
  }
  return {};
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
