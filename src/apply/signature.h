// Who signed a bundle: the installed build's team, and whether the new build was signed by that
// team. Internal to src/apply and its tests.
#pragma once

#include <string>

#include "sys/expected.h"

namespace kestro {

/// The code requirement that only a build signed by `team` with a certificate Apple issued
/// meets: anchor apple generic and certificate leaf[subject.OU] = "<team>".
std::string team_requirement(const std::string& team);

/// The team that signed `bundle` as codesign shows it, or "" (and the log says so) when there
/// is none: no bundle, unsigned, ad hoc. Fails with codesign's start error, or with "installed
/// build's team identifier is not valid: <value>" for a value that is not ten capitals or digits.
Expected<std::string, std::string> installed_team(const std::string& bundle);

/// Runs codesign --verify --deep --strict with `team`'s requirement on `bundle` and logs
/// "codesign exit: …"; fails with "new bundle is not signed by team <team>: <text form>"
/// unless it exits 0.
Expected<void, std::string> check_signed_by(const std::string& bundle, const std::string& team);

}  // namespace kestro
