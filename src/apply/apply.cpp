#include "apply/apply.h"

namespace kestro {

UpdateResult apply_artifact(const std::string& /*install*/) {
  // Unpacking and the bundle swap are not built yet. Failing here makes the run relaunch the
  // installed build, and never reports an update that did not happen.
  return fail(UpdateError{"applying an update is not supported by this build yet"});
}

}  // namespace kestro
