// The apply phase: unpack the update, swap the installed bundle, reload the services.
#pragma once

#include <chrono>
#include <string>

#include "sys/expected.h"

namespace kestro {

/// How long the authorization prompt may stay unanswered before the installed build comes back.
constexpr std::chrono::seconds kPromptLimit{300};

/// Applies the update archive at `install`; the message of the first failing step otherwise,
/// which the run reports unchanged.
Expected<void, std::string> apply_artifact(const std::string& install,
                                           std::chrono::seconds prompt_limit = kPromptLimit);

}  // namespace kestro
