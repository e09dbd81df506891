// The update run: wait for the parent, apply the update, relaunch the application; one log
// line per step and per failure.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "sys/expected.h"

namespace kestro {

/// The command line, as the entry parsed it. Paths are non-empty and unchanged.
struct UpdateRequest {
  uint32_t wait_pid = 0;
  std::string install;   // the downloaded update archive
  std::string relaunch;  // the application to start again at the end
};

/// The one error of a run: a message text.
struct UpdateError {
  std::string message;
};

using UpdateResult = Expected<void, UpdateError>;

/// Runs the update; success only when it was applied and `open` started. After a failed
/// apply the installed build is relaunched and the apply error is still returned.
UpdateResult run_update(const UpdateRequest& request);

/// The three phases a run drives; tests substitute them to reach every outcome quickly.
struct UpdatePhases {
  std::function<UpdateResult(uint32_t wait_pid)> wait_for_parent;
  std::function<UpdateResult(const std::string& install)> apply_artifact;
  std::function<UpdateResult(const std::string& relaunch)> relaunch_app;
};

/// The phases of a real run, with this limit on the authorization prompt.
UpdatePhases real_phases(std::chrono::seconds prompt_limit);

/// run_update with these phases in place of the real ones.
UpdateResult run_update(const UpdateRequest& request, const UpdatePhases& phases);

}  // namespace kestro
