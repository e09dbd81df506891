// The check before the prompt runs as the user, on a tree the user can still change, through a
// codesign the user's processes can kill or replace: it proves nothing about what gets
// installed, and only refuses early. The root shell reads the installed build's requirement
// itself and checks its own copy, where only root can reach it. A check here that cannot decide
// refuses all the same.
#include "apply/signature.h"

#include <string_view>
#include <vector>

#include "exec/exec.h"
#include "log/log.h"
#include "paths/text.h"

namespace kestro {

namespace {

// The requirement on the first line of `output` that begins with "designated => " or with
// "# designated => " (codesign's form for a requirement derived rather than stored); "" when
// there is none.
std::string requirement_line(std::string_view output) {
  constexpr std::string_view kKey = "designated => ";
  for (size_t begin = 0; begin < output.size();) {
    size_t end = output.find('\n', begin);
    if (end == std::string_view::npos) end = output.size();
    std::string_view line = output.substr(begin, end - begin);
    if (line.substr(0, 2) == "# ") line.remove_prefix(2);
    if (line.substr(0, kKey.size()) == kKey) return std::string(line.substr(kKey.size()));
    begin = end + 1;
  }
  return "";
}

// Runs codesign --verify --deep --strict (with R as "=R" when not empty) on `bundle` and logs
// how it ended; true for exit 0.
bool verify(const std::string& bundle, const std::string& requirement) {
  std::vector<std::string> args = {"--verify", "--deep", "--strict"};
  if (!requirement.empty()) {
    args.push_back("--test-requirement");
    args.push_back("=" + requirement);
  }
  args.push_back(bundle);
  auto verified = run_capture({"codesign", args});
  const CommandResult status =
      verified ? CommandResult(verified.value().status) : CommandResult(fail(verified.error()));
  log_line("codesign exit: " + status_text(status));
  return status && status.value().success();
}

}  // namespace

Expected<std::string, std::string> designated_requirement(const std::string& bundle) {
  auto shown = run_capture({"codesign", {"-d", "-r-", bundle}});
  if (!shown) return fail(shown.error().text());
  std::string requirement;
  if (shown.value().status.success()) {
    requirement = requirement_line(shown.value().out);
    if (requirement.empty()) requirement = requirement_line(shown.value().err);
  }
  if (requirement.empty()) {
    return fail("installed build has no designated requirement: " + message_text(bundle));
  }
  // An ad-hoc signature's requirement names the hash of that one build's code.
  if (requirement.rfind("cdhash ", 0) == 0) {
    return fail(
        "installed build is signed ad hoc; no other build can satisfy its designated "
        "requirement: " +
        message_text(bundle));
  }
  return requirement;
}

Expected<void, std::string> check_new_build(const std::string& installed, bool installed_exists,
                                            const std::string& new_bundle) {
  if (!installed_exists) {
    // A first installation: nothing to be the same program as, but the seal must hold.
    if (!verify(new_bundle, "")) {
      return fail("new bundle's code signature is not valid: " + message_text(new_bundle));
    }
    return {};
  }
  auto requirement = designated_requirement(installed);
  if (!requirement) return fail(requirement.error());
  log_line("installed build's designated requirement: " + message_text(requirement.value()));
  if (!verify(new_bundle, requirement.value())) {
    return fail("new bundle does not satisfy the installed build's designated requirement: " +
                message_text(new_bundle));
  }
  return {};
}

}  // namespace kestro
