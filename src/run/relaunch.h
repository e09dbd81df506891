// Starting the application again at the end of a run. Internal to src/run and its tests.
#pragma once

#include <string>

#include "run/update.h"

namespace kestro {

/// Logs "open <bundle>" and starts `open` on the enclosing app bundle of `path` (or `path`
/// itself when there is none), without waiting. Fails only when `open` cannot be started.
UpdateResult relaunch_app(const std::string& path);

}  // namespace kestro
