#include "run/update.h"

#include "apply/apply.h"
#include "log/log.h"
#include "paths/text.h"
#include "run/relaunch.h"
#include "run/wait.h"

namespace kestro {

UpdatePhases real_phases(std::chrono::seconds prompt_limit) {
  return {[](uint32_t pid) { return wait_for_parent(pid); },
          [prompt_limit](const std::string& install) -> UpdateResult {
            auto applied = apply_artifact(install, prompt_limit);
            if (!applied) return fail(UpdateError{applied.error()});
            return {};
          },
          [](const std::string& relaunch) { return relaunch_app(relaunch); }};
}

UpdateResult run_update(const UpdateRequest& request) {
  return run_update(request, real_phases(kPromptLimit));
}

UpdateResult run_update(const UpdateRequest& request, const UpdatePhases& phases) {
  const std::string install = message_text(request.install);
  const std::string relaunch = message_text(request.relaunch);
  log_line("start: wait_pid=" + std::to_string(request.wait_pid) + " install=" + install +
           " relaunch=" + relaunch + " os=macos");

  if (auto waited = phases.wait_for_parent(request.wait_pid); !waited) {
    log_line("FAILED at wait-for-parent: " + waited.error().message);
    return waited;  // the application is still running: touch nothing
  }
  log_line("parent exited; applying artifact");

  if (auto applied = phases.apply_artifact(request.install); !applied) {
    log_line("FAILED at apply: " + applied.error().message);
    // Whatever failed, the machine must not be left without its application.
    if (auto relaunched = phases.relaunch_app(request.relaunch); relaunched) {
      log_line("relaunched " + relaunch +
               " after the failed apply; the machine keeps the build it had");
    } else {
      log_line("FAILED at relaunch after a failed apply: " + relaunched.error().message +
               " - THIS MACHINE NOW HAS NO APP RUNNING and, if nobody is at it, is unreachable "
               "until someone starts it");
    }
    return applied;
  }

  log_line("applied; relaunching " + relaunch);
  if (auto relaunched = phases.relaunch_app(request.relaunch); !relaunched) {
    log_line("FAILED at relaunch: " + relaunched.error().message);
    return relaunched;
  }
  log_line("done");
  return {};
}

}  // namespace kestro
