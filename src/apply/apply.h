// The apply phase: unpack the update, swap the installed bundle, reload the services.
#pragma once

#include <string>

#include "sys/expected.h"

namespace kestro {

/// Applies the update archive at `install`; the message of the first failing step otherwise,
/// which the run reports unchanged.
Expected<void, std::string> apply_artifact(const std::string& install);

}  // namespace kestro
