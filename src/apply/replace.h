// Swapping the installed bundle for the new one, with administrator rights. Internal to
// src/apply and its tests.
#pragma once

#include <sys/types.h>

#include <string>

#include "sys/expected.h"

namespace kestro {

/// The installed bundle to replace: the app bundle that encloses this executable's path, made
/// absolute, else "/Applications" joined with the new bundle's file name; the OS error text
/// when the executable's path is relative and the working directory cannot be read.
Expected<std::string, std::string> resolve_target_bundle(const std::string& new_bundle);

/// The AppleScript line that has a root shell copy S, without ACLs, into a folder T.new that only
/// root may enter, give the copy `user` and `group` and take write away from group and others,
/// check that `team` signed it (no check when `team` is ""), sync, move T to T.bak and rename
/// the copy to T; on a failure T.new is removed, T is left whole (or given back from T.bak), and
/// the script fails. Quotes and backslashes in T and S are escaped for the shell and then for
/// the AppleScript string, so any path names only itself.
std::string build_replace_script(const std::string& target_text, const std::string& new_text,
                                 uid_t user, gid_t group, const std::string& team);

/// Logs "replacing …", runs osascript, logs "osascript exit: …", removes `extraction_dir`;
/// the target bundle on exit 0, else the one failure message. A target or new bundle path
/// that is not UTF-8 fails with "path is not valid UTF-8: <text form>" before osascript runs,
/// and so does a target in a folder on a read-only volume, with "installed bundle is on a
/// read-only volume: <text form>", and a new bundle that the installed build's team did not
/// sign (apply/signature.h); a target that cannot be resolved fails with its error before
/// anything is logged.
Expected<std::string, std::string> replace_installed_bundle(const std::string& new_bundle,
                                                            const std::string& extraction_dir);

}  // namespace kestro
