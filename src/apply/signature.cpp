// The check that spares the user a password for a build the root shell would refuse anyway.
// It runs as the user, on a tree the user can still change, so it proves nothing about what
// gets installed: the root shell checks its own copy again, where only root can reach it.
#include "apply/signature.h"

#include <optional>

#include "exec/exec.h"
#include "log/log.h"
#include "paths/text.h"

namespace kestro {

namespace {

constexpr char kTeamKey[] = "TeamIdentifier=";

// A team identifier as Apple issues them: ten capital letters or digits. Nothing else may
// reach the requirement, which the root shell is handed inside its command line.
bool is_team_identifier(const std::string& value) {
  if (value.size() != 10) return false;
  for (char c : value) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// The value of the first line of `display` that begins with "TeamIdentifier=", if any.
std::optional<std::string> team_line_value(const std::string& display) {
  for (size_t begin = 0; begin < display.size();) {
    size_t end = display.find('\n', begin);
    if (end == std::string::npos) end = display.size();
    if (display.compare(begin, sizeof kTeamKey - 1, kTeamKey) == 0) {
      return display.substr(begin + sizeof kTeamKey - 1, end - begin - (sizeof kTeamKey - 1));
    }
    begin = end + 1;
  }
  return std::nullopt;
}

}  // namespace

std::string team_requirement(const std::string& team) {
  return "anchor apple generic and certificate leaf[subject.OU] = \"" + team + "\"";
}

Expected<std::string, std::string> installed_team(const std::string& bundle) {
  // codesign writes what it displays to standard error.
  auto shown = run_capture({"codesign", {"-d", "--verbose=2", bundle}});
  if (!shown) return fail(shown.error().text());
  // A first installation has no bundle to ask, and a development build carries no team (ad
  // hoc, "not set"): neither can vouch for a successor, so the update goes on unchecked.
  auto team = shown.value().status.success() ? team_line_value(shown.value().err) : std::nullopt;
  if (!team || *team == "not set") {
    log_line("installed build has no team identifier; the new build's signature is not checked");
    return std::string();
  }
  if (!is_team_identifier(*team)) {
    return fail("installed build's team identifier is not valid: " + to_text(*team));
  }
  return *team;
}

Expected<void, std::string> check_signed_by(const std::string& bundle, const std::string& team) {
  auto verified = run_capture({"codesign",
                               {"--verify", "--deep", "--strict", "--test-requirement",
                                "=" + team_requirement(team), bundle}});
  CommandResult status =
      verified ? CommandResult(verified.value().status) : CommandResult(fail(verified.error()));
  log_line("codesign exit: " + status_text(status));
  if (!status || !status.value().success()) {
    return fail("new bundle is not signed by team " + team + ": " + to_text(bundle));
  }
  return {};
}

}  // namespace kestro
