// Test support for whole updates: bundles staged and zipped for real, and a sandbox with an
// installed bundle that holds a copy of the helper, as the application ships it (the helper
// replaces the bundle it lives in).
#pragma once

#include <string>
#include <vector>

#include "support/harness.h"

namespace kestro::test {

/// What signs the bundles of a test, as codesign names it; its team is K3STR0TEAM.
constexpr char kIdentity[] = "Developer ID Application: Kestro Test (K3STR0TEAM)";
/// The designated requirement of a bundle that stage_bundle signed with kIdentity.
constexpr char kRequirement[] =
    "identifier \"com.tallowmere.Kestro\" and anchor apple generic and certificate "
    "1[field.1.2.840.113635.100.6.2.6] /* exists */ and certificate "
    "leaf[field.1.2.840.113635.100.6.1.13] /* exists */ and certificate leaf[subject.OU] = "
    "K3STR0TEAM";

/// Makes a bundle as an update carries it: a version file, an Info.plist with `identifier`, the
/// application's executable and a helper that runs the built one, signed by `identity` (""
/// leaves it unsigned, "-" ad hoc).
void stage_bundle(const std::string& dir, const std::string& version,
                  const std::string& identity = kIdentity,
                  const std::string& identifier = "com.tallowmere.Kestro");
/// The version file's content of `bundle`.
std::string version_of(const std::string& bundle);
/// Zips everything in `stage` into `archive`, symbolic links kept as links; returns `archive`.
std::string zip_stage(const std::string& stage, const std::string& archive);
/// A zip in `box` holding Kestro.app of `version` at its top level.
std::string zip_one_bundle(const Sandbox& box, const std::string& version);
/// `a` followed by `b`.
std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b);

/// A sandbox with every stand-in and version 1 installed at `bundle_rel`, the helper inside.
struct Installed {
  explicit Installed(const std::string& bundle_rel = "Applications/Kestro.app",
                     const std::string& identity = kIdentity);
  /// Copies the built helper into the installed bundle (again).
  void put_helper() const;
  std::string helper() const { return bundle + "/Contents/MacOS/kestro-update"; }
  /// A path inside the unpacking folder.
  std::string extracted(const std::string& rel = "Kestro.app") const;
  /// Runs the helper inside the bundle on `archive`; `relaunch` defaults to the bundle.
  RunResult run(const std::string& archive, const std::string& relaunch = "",
                const RunOptions& options = {}) const;
  /// Replaces bin/`tool` by a script that runs `prelude` and then hands over to the stand-in.
  void wrap_tool(const std::string& tool, const std::string& prelude) const;
  /// The first three messages of every run that reaches the unpacking.
  std::vector<std::string> head(const std::string& archive, const std::string& relaunch = "") const;
  /// The messages of a run on `archive` up to osascript's exit with `status`.
  std::vector<std::string> up_to_prompt(const std::string& archive, const std::string& status,
                                        const std::string& relaunch = "") const;
  /// Every message of a run that applies `archive` with Kestro.app at its top level.
  std::vector<std::string> applied_log(const std::string& archive) const;
  /// Checks that a run on `archive` failed with `error` before anything was unpacked, and
  /// relaunched the installed build.
  void expect_failed_before_unpacking(const RunResult& result, const std::string& archive,
                                      const std::string& error) const;
  /// The stand-in call that unpacks `archive`.
  std::string unpack_call(const std::string& archive) const;
  /// The last three messages of a run whose apply failed with `error`.
  std::vector<std::string> failed_tail(const std::string& error,
                                       const std::string& relaunch = "") const;

  Sandbox box;
  std::string bundle;
  pid_t wait_pid = gone_pid();
};

}  // namespace kestro::test
