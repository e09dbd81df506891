#include "apply/services.h"

#include "exec/exec.h"
#include "paths/paths.h"
#include "paths/text.h"

namespace kestro {

namespace {

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

}  // namespace

const JobSet& service_plists_for(const std::string& target_bundle) {
  auto stem = file_stem(target_bundle);
  return stem && equals_ascii_folded(*stem, "kestro") ? kKestroJobs : kZarnoJobs;
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
