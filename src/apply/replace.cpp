#include "apply/replace.h"

#include "apply/signature.h"
#include "exec/exec.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/text.h"
#include "sys/fs.h"
#include "sys/os_error.h"
#include "sys/platform.h"

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

}  // namespace

Expected<std::string, std::string> resolve_target_bundle(const std::string& new_bundle) {
  if (auto self = sys::executable_path()) {
    // A helper started by a relative path is told that path. The target goes to a root shell
    // whose working directory is not ours, so it is made absolute first; where the working
    // directory cannot be read, no bundle is guessed.
    auto absolute = sys::absolute_path(*self);
    if (!absolute) return fail(sys::os_error_text(absolute.error()));
    if (auto bundle = enclosing_app_bundle(absolute.value())) return *bundle;
  }
  return join("/Applications", file_name(new_bundle).value_or(""));
}

std::string build_replace_script(const std::string& target_text, const std::string& new_text,
                                 uid_t user, gid_t group, const std::string& team) {
  const std::string target = shell_quoted(target_text);
  const std::string backup = shell_quoted(target_text + ".bak");
  const std::string staging = shell_quoted(target_text + ".new");
  const std::string copy =
      shell_quoted(target_text + ".new/" + file_name(target_text).value_or(""));
  const std::string owner = std::to_string(user) + ":" + std::to_string(group);
  const std::string check = team.empty() ? ""
                                         : "codesign --verify --deep --strict --test-requirement " +
                                               shell_quoted("=" + team_requirement(team)) + " " +
                                               copy + " && ";
  // The installed bundle must be whole at every instant, whatever cuts the shell short (a power
  // cut, a forced restart), since the machine may be reachable only through it. So the new
  // build is copied beside it, and then renamed into place: on one volume a rename is atomic,
  // and the only moment without an installed bundle lies between the two renames. sync asks
  // the system to write the copy out before the rename, and no more: it may return before the
  // disk has it all. A copy that fails (a full disk, say) takes its half copy away and leaves
  // the installed bundle alone; a half copy left by a run cut short is removed by the next
  // run's first step. If the installed bundle cannot be moved aside, nothing is renamed onto
  // it (mv would nest the new bundle inside the old one); if the new one cannot be renamed into
  // place, the old one goes back. Without an installed bundle (a first installation) the first
  // mv fails quietly.
  //
  // The tree this user unpacked stays theirs to change for as long as the prompt is open, and
  // ditto run as root would give each copy its source's owner, mode and ACL entries. So root
  // copies it into a folder that only root may enter (mkdir fails on anything already there),
  // without ACLs, gives the copy the installed bundle's owner and group and takes write away
  // from group and others; only then is the signature checked, on the very tree that will be
  // installed and that nobody else can change any more, and only a copy that the installed
  // build's team signed is renamed into place. The bundle that reaches T is never, at any
  // instant, this user's unless the installed one was.
  const std::string command =
      "rm -rf " + backup + " " + staging + " && mkdir -m 700 " + staging + " && ditto --noacl " +
      shell_quoted(new_text) + " " + copy + " && chown -R " + owner + " " + copy +
      " && chmod -R go-w " + copy + " && " + check + "sync || { rm -rf " + staging +
      "; exit 1; }; mv " + target + " " + backup + " 2>/dev/null; [ ! -e " + target + " ] && mv " +
      copy + " " + target + " || { rm -rf " + staging + "; [ -e " + target + " ] || mv " + backup +
      " " + target + " 2>/dev/null; exit 1; }; rm -rf " + staging + " 2>/dev/null; true";
  return "do shell script \"" + applescript_escaped(command) + "\" with administrator privileges";
}

Expected<std::string, std::string> replace_installed_bundle(const std::string& new_bundle,
                                                            const std::string& extraction_dir) {
  auto resolved = resolve_target_bundle(new_bundle);
  if (!resolved) {
    sys::remove_tree(extraction_dir);
    return fail(resolved.error());
  }
  const std::string& target = resolved.value();
  const std::string target_text = to_text(target);
  const std::string new_text = to_text(new_bundle);
  const std::string shown_target = message_text(target);
  const std::string shown_new = message_text(new_bundle);
  log_line("replacing " + shown_target + " with " + shown_new);

  // The script can carry only text, where each bad byte sequence reads U+FFFD: such a path
  // would name another path in there, and the shell would move the installed bundle away
  // and copy nothing, or install beside it.
  const bool target_ok = is_valid_utf8(target);
  if (!target_ok || !is_valid_utf8(new_bundle)) {
    sys::remove_tree(extraction_dir);
    return fail("path is not valid UTF-8: " + (target_ok ? shown_new : shown_target));
  }

  // An application run where it was downloaded (App Translocation) or from a disk image lies
  // on a read-only volume, where no password would let the root shell write: refuse before
  // the prompt. When the volume cannot be asked, the root shell reports what it finds.
  auto read_only = sys::on_read_only_volume(parent(target).value_or("/"));
  if (read_only && read_only.value()) {
    sys::remove_tree(extraction_dir);
    return fail("installed bundle is on a read-only volume: " + shown_target);
  }

  // Only a build of the installed build's team may replace it. Asking the user for a password
  // for one that the root shell would refuse anyway helps nobody.
  auto team = installed_team(target);
  if (!team) {
    sys::remove_tree(extraction_dir);
    return fail(team.error());
  }
  if (!team.value().empty()) {
    if (auto signed_by = check_signed_by(new_bundle, team.value()); !signed_by) {
      sys::remove_tree(extraction_dir);
      return fail(signed_by.error());
    }
  }

  // Without an installed bundle (a first installation) the new one is root's: 0:0 is
  // root:wheel.
  auto found = sys::owner_of(target);
  const sys::Owner owner = found ? found.value() : sys::Owner{};
  auto result = run_command(
      {"osascript",
       {"-e", build_replace_script(target_text, new_text, owner.user, owner.group, team.value())}});
  log_line("osascript exit: " + status_text(result));
  sys::remove_tree(extraction_dir);  // after every attempt; failures do not matter

  if (!result || !result.value().success()) {
    return fail(std::string("app replace failed or was cancelled at the authorization prompt"));
  }
  return target;
}

}  // namespace kestro
