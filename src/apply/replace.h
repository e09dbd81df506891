// Swapping the installed bundle for the new one, with administrator rights. Internal to
// src/apply and its tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "sys/expected.h"

namespace kestro {

/// The installed bundle to replace, and where this executable lies in it.
struct TargetBundle {
  std::string path;    // T
  std::string helper;  // this executable's path inside T, relative to it; "" when outside
};

/// The app bundle that encloses this executable's path, made absolute, else "/Applications"
/// joined with the new bundle's file name (and no helper); the OS error text when the
/// executable's path is relative and the working directory cannot be read.
Expected<TargetBundle, std::string> resolve_target_bundle(const std::string& new_bundle);

/// What the root shell's command is made of: paths as text, as the shell must name them.
struct ReplaceScript {
  std::string target;      // T, the installed bundle
  std::string source;      // S, the new bundle as unpacked
  std::string extraction;  // X, the scratch directory, which holds the prompt's token
  std::string helper;      // P, this executable inside T (TargetBundle::helper), or ""
  uid_t user = 0;          // U:G, who is to own the copy
  gid_t group = 0;
  bool installed = false;  // whether T existed before the prompt
};

/// The AppleScript line that has a root shell take the token X/prompt-open (and do nothing at
/// all when it is gone), copy S, without ACLs or quarantine, into a
/// folder of its own in root's temporary folder, give the copy U:G and take write away from
/// group and others, and check it against the designated requirement that root itself reads
/// from T (only its seal without T). Where T exists and holds this helper at P, the copy's own
/// helper then exchanges it with T in one step (--swap, apply/swap.h); otherwise it is synced,
/// T is kept as T.bak and the copy renamed to T. On a failure the copy goes, T is left whole
/// (or given back from T.bak), and the script fails. Quotes and
/// backslashes are escaped for the shell and then for the AppleScript string, so any path names
/// only itself.
std::string build_replace_script(const ReplaceScript& script);

/// Logs "replacing …", checks the new build (apply/signature.h), runs osascript with PATH
/// alone in its environment, logs "osascript exit: …" and each line of its standard error as
/// "osascript: …", removes `extraction_dir`; the target bundle on exit 0, else the one failure
/// message. A prompt still open after `prompt_limit` whose token the helper can still take is
/// ended: "nobody answered the authorization prompt within <N> seconds". A target or new bundle
/// path that is not UTF-8 fails with "path is not valid UTF-8: <text form>" before osascript runs,
/// and so does a target in a folder on a read-only volume, with "installed bundle is on a read-only
/// volume: <text form>", and a new build the check refuses; a target that cannot be resolved fails
/// with its error before anything is logged.
Expected<std::string, std::string> replace_installed_bundle(const std::string& new_bundle,
                                                            const std::string& extraction_dir,
                                                            std::chrono::seconds prompt_limit);

}  // namespace kestro
