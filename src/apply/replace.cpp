#include "apply/replace.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "apply/signature.h"
#include "exec/exec.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/text.h"
#include "sys/fd.h"
#include "sys/fs.h"
#include "sys/os_error.h"
#include "sys/platform.h"
#include "sys/retry.h"

namespace kestro {

namespace {

// A shell word in single quotes; a quote inside becomes '\'' (close, escaped quote, reopen).
std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// The body of an AppleScript string literal.
std::string applescript_escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// Runs osascript with `script`, as `watch` says. Its environment is PATH alone, the folder it
// was found in first and then the system's: whatever the caller's environment holds (a PATH
// that leads to the user's folders, BASH_FUNC_*, DYLD_*, ENV) would otherwise reach the root
// shell.
Expected<WatchedOutput, SpawnError> run_osascript(const std::string& script, const Watch& watch) {
  auto found = find_program("osascript");
  if (!found) return fail(SpawnError{found.error()});
  return run_watched(
      {found.value().path,
       {"-e", script},
       std::vector<std::string>{"PATH=" + found.value().folder + ":/usr/bin:/bin:/usr/sbin:/sbin"}},
      watch);
}

// Logs each non-empty line of what osascript wrote on its standard error: a dismissed prompt,
// or the root shell's own error, which its exit status alone does not tell apart.
void log_osascript_errors(const std::string& err) {
  for (size_t begin = 0; begin < err.size();) {
    const size_t end = std::min(err.find('\n', begin), err.size());
    if (end > begin) log_line("osascript: " + message_text(err.substr(begin, end - begin)));
    begin = end + 1;
  }
}

// Everything replace_installed_bundle does but the removal of the scratch directory.
Expected<std::string, std::string> replace_behind_prompt(const std::string& new_bundle,
                                                         const std::string& extraction_dir,
                                                         std::chrono::seconds prompt_limit) {
  auto resolved = resolve_target_bundle(new_bundle);
  if (!resolved) return fail(resolved.error());
  const std::string& target = resolved.value().path;
  const std::string shown_target = message_text(target);
  const std::string shown_new = message_text(new_bundle);
  log_line("replacing " + shown_target + " with " + shown_new);

  // The script can carry only text, where each bad byte sequence reads U+FFFD: such a path
  // would name another path in there, and the shell would move the installed bundle away
  // and copy nothing, or install beside it.
  const bool target_ok = is_valid_utf8(target);
  if (!target_ok || !is_valid_utf8(new_bundle)) {
    return fail("path is not valid UTF-8: " + (target_ok ? shown_new : shown_target));
  }

  // An application run where it was downloaded (App Translocation) or from a disk image lies
  // on a read-only volume, where no password would let the root shell write: refuse before
  // the prompt. When the volume cannot be asked, the root shell reports what it finds.
  auto read_only = sys::on_read_only_volume(parent(target).value_or("/"));
  if (read_only && read_only.value()) {
    return fail("installed bundle is on a read-only volume: " + shown_target);
  }

  // Asking for a password for a build that the root shell would refuse helps nobody. Anything
  // at T, a dangling link included, is an installed build whose requirement must be met.
  struct stat st {};
  const bool installed = lstat(target.c_str(), &st) == 0;
  if (auto checked = check_new_build(target, installed, new_bundle); !checked) {
    return fail(checked.error());
  }

  // Without an installed bundle (a first installation) the new one is root's: 0:0 is
  // root:wheel.
  auto found = sys::owner_of(target);
  const sys::Owner owner = found ? found.value() : sys::Owner{};
  // The prompt's token. The root shell's first step removes it, and when the limit passes the
  // helper tries to: exactly one of them can, so either root goes on and the helper waits for
  // it, however long a copy takes, or root will do nothing and the helper ends the prompt.
  const std::string token = join(extraction_dir, "prompt-open");
  sys::UniqueFd made(sys::retry_eintr([&] {
    return open(token.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }));
  if (!made.valid()) {
    const int error = errno;
    return fail(sys::os_error_text(error));
  }
  made.reset();
  Watch watch{prompt_limit, [&] { return unlink(token.c_str()) == 0; }};
  auto watched = run_osascript(
      build_replace_script({target, new_bundle, extraction_dir, resolved.value().helper, owner.user,
                            owner.group, installed}),
      watch);
  const CommandResult result = watched ? CommandResult(watched.value().captured.status)
                                       : CommandResult(fail(watched.error()));
  log_line("osascript exit: " + status_text(result));
  if (watched) log_osascript_errors(watched.value().captured.err);
  if (watched && watched.value().ended_at_limit) {
    return fail("nobody answered the authorization prompt within " +
                std::to_string(prompt_limit.count()) + " seconds");
  }
  if (!result || !result.value().success()) {
    return fail(std::string("app replace failed or was cancelled at the authorization prompt"));
  }
  return target;
}

}  // namespace

Expected<TargetBundle, std::string> resolve_target_bundle(const std::string& new_bundle) {
  if (auto self = sys::executable_path()) {
    // A helper started by a relative path is told that path. The target goes to a root shell
    // whose working directory is not ours, so it is made absolute first; where the working
    // directory cannot be read, no bundle is guessed.
    auto absolute = sys::absolute_path(*self);
    if (!absolute) return fail(sys::os_error_text(absolute.error()));
    const std::string& exe = absolute.value();
    if (auto bundle = enclosing_app_bundle(exe)) {
      // The bundle's path is the executable's own text up to a component's end.
      const size_t inside = exe.find_first_not_of('/', bundle->size());
      return TargetBundle{*bundle, inside == std::string::npos ? "" : exe.substr(inside)};
    }
  }
  return TargetBundle{join("/Applications", file_name(new_bundle).value_or("")), ""};
}

std::string build_replace_script(const ReplaceScript& script) {
  const std::string target = shell_quoted(script.target);
  const std::string backup = shell_quoted(script.target + ".bak");
  // The copy goes into a folder of its own that mktemp makes in root's temporary folder, which
  // only root may write: nobody else can rename, exchange or enter anything on its path, and a
  // run cut short leaves it where the system clears old files.
  const std::string copy = "\"$n\"/" + shell_quoted(file_name(script.target).value_or(""));
  const std::string owner = std::to_string(script.user) + ":" + std::to_string(script.group);
  // Root reads the installed build's requirement itself: an unsigned T gives none and the line
  // stops; an ad-hoc T gives a cdhash that no other build meets. Without T, the copy must
  // still carry a valid seal, which no hard link to a file of root's and no device node has.
  const std::string check =
      script.installed
          ? "r=$(codesign -d -r- " + target +
                " 2>&1 | sed -n 's/^#* *designated => //p') && [ -n \"$r\" ] && codesign --verify "
                "--deep --strict --test-requirement \"=$r\" " +
                copy
          : "codesign --verify --deep --strict " + copy;
  // The token goes first: a root shell that starts after the helper gave up does nothing. ditto
  // -X does not descend into a volume mounted inside S, --noacl and --noqtn drop ACL entries and
  // the download's quarantine (a quarantined build stops at a first-launch dialog nobody
  // answers on an unattended Mac). The copy gets its owner and modes before it is checked, so
  // that the very tree that will be installed is the one checked.
  const std::string checked =
      "rm " + shell_quoted(script.extraction + "/prompt-open") +
      " && d=$(getconf DARWIN_USER_TEMP_DIR) && [ -n \"$d\" ] && n=$(mktemp -d "
      "\"${d}kestro-update.XXXXXX\") && ditto -X --noacl --noqtn " +
      shell_quoted(script.source) + " " + copy + " && [ -d " + copy + " ] && [ ! -h " + copy +
      " ] && chown -R " + owner + " " + copy + " && chmod -R go-w " + copy + " && " + check;
  // The installed bundle must be whole at every instant, whatever cuts the shell short (a power
  // cut, a forced restart), since the machine may be reachable only through it. The copy's own
  // helper, which the check just vouched for, flushes it to the disk and exchanges it with T in
  // one step; a new build without it, or an older helper without --swap, stops the line there.
  // Without a helper inside T (or without T) the copy is renamed into place: then the only
  // moment without an installed bundle lies between the two renames, and sync asks the system
  // to write the copy out first, and no more. If T cannot be moved aside, nothing is renamed
  // onto it (mv would nest the new bundle inside the old one); if the copy cannot be renamed
  // into place, the old one goes back.
  const std::string placed =
      script.installed && !script.helper.empty()
          ? " || { rm -rf \"$n\"; exit 1; }; " + copy + "/" + shell_quoted(script.helper) +
                " --swap " + copy + " " + target + " " + backup +
                " || { rm -rf \"$n\"; exit 1; }; rm -rf \"$n\"; true"
          : " && sync || { rm -rf \"$n\"; exit 1; }; rm -rf " + backup + " && mv " + target + " " +
                backup + " 2>/dev/null; [ ! -e " + target + " ] && mv " + copy + " " + target +
                " || { rm -rf \"$n\"; [ -e " + target + " ] || mv " + backup + " " + target +
                " 2>/dev/null; exit 1; }; rm -rf \"$n\"; true";
  const std::string command = checked + placed;
  return "do shell script \"" + applescript_escaped(command) + "\" with administrator privileges";
}

Expected<std::string, std::string> replace_installed_bundle(const std::string& new_bundle,
                                                            const std::string& extraction_dir,
                                                            std::chrono::seconds prompt_limit) {
  auto replaced = replace_behind_prompt(new_bundle, extraction_dir, prompt_limit);
  sys::remove_tree(extraction_dir);  // after every attempt; failures do not matter
  return replaced;
}

}  // namespace kestro
