#include "run/relaunch.h"

#include "exec/exec.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/text.h"

namespace kestro {

UpdateResult relaunch_app(const std::string& path) {
  const std::string target = enclosing_app_bundle(path).value_or(path);
  log_line("open " + message_text(target));
  auto started = spawn_detached({"open", {target}});
  if (!started) return fail(UpdateError{started.error().text()});
  return {};
}

}  // namespace kestro
