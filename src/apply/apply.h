// The apply phase: unpack the update, swap the installed bundle, reload the services.
#pragma once

#include <string>

#include "run/update.h"

namespace kestro {

/// Applies the update archive at `install`; the first failing step's error otherwise.
UpdateResult apply_artifact(const std::string& install);

}  // namespace kestro
