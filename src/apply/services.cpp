#include "apply/services.h"

#include "exec/exec.h"
#include "paths/paths.h"
#include "paths/text.h"

namespace kestro {

const JobSet kKestroJobs = {
    "/Library/LaunchDaemons/com.tallowmere.Kestro_dispatcher.plist",
    "/Library/LaunchAgents/com.tallowmere.Kestro_session.plist",
    "/Library/LaunchAgents/com.tallowmere.Kestro_launcher.plist",
};

const JobSet kZarnoJobs = {
    "/Library/LaunchDaemons/com.tallowmere.Zarno_dispatcher.plist",
    "/Library/LaunchAgents/com.tallowmere.Zarno_session.plist",
    "/Library/LaunchAgents/com.tallowmere.Zarno_launcher.plist",
};

const JobSet& service_plists_for(const std::string& target_bundle) {
  auto stem = file_stem(target_bundle);
  if (!stem || stem->size() != 6 || !is_valid_utf8(*stem)) return kZarnoJobs;
  const char* kestro = "kestro";
  for (size_t i = 0; i < 6; ++i) {
    char c = (*stem)[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kestro[i]) return kZarnoJobs;
  }
  return kKestroJobs;
}

void reload_services(const std::string& target_bundle) {
  for (const JobSet* jobs : {&kKestroJobs, &kZarnoJobs}) {
    for (const char* plist : *jobs) {
      (void)run_command({"launchctl", {"unload", plist}});
    }
  }
  for (const char* plist : service_plists_for(target_bundle)) {
    (void)run_command({"launchctl", {"load", "-w", plist}});
  }
}

}  // namespace kestro
