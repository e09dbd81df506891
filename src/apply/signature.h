// Whether the new build is the installed build's own program: the check that spares the user a
// password for a build the root shell would refuse anyway. Internal to src/apply and its tests.
#pragma once

#include <string>

#include "sys/expected.h"

namespace kestro {

/// The designated requirement of `bundle`: the text after "designated => " on the first line,
/// of either stream of `codesign -d -r-`, that begins with it or with "# designated => ".
/// Fails with codesign's start error; with "installed build has no designated requirement:
/// <text form>" when codesign does not exit 0 with such a line; with "installed build is signed
/// ad hoc; no other build can satisfy its designated requirement: <text form>" for a
/// requirement that names a cdhash.
Expected<std::string, std::string> designated_requirement(const std::string& bundle);

/// Checks `new_bundle` before the prompt, logging each step. Where `installed` exists: its
/// designated requirement (logged as "installed build's designated requirement: <R>"), then
/// `codesign --verify --deep --strict --test-requirement =R` on the new bundle ("codesign exit:
/// <status>"), failing with "new bundle does not satisfy the installed build's designated
/// requirement: <text form>". Where it does not: the same check without a requirement, failing
/// with "new bundle's code signature is not valid: <text form>".
Expected<void, std::string> check_new_build(const std::string& installed, bool installed_exists,
                                            const std::string& new_bundle);

}  // namespace kestro
