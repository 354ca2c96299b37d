#include "app/configuration.h"

#include "config/general_settings.h"
#include "config/settings.h"
#include "schedule/schedule.h"

namespace vr {

bool LoadConfiguration(const Profile& file, Configuration& config, Reporter& reporter,
                       const Clock& clock, ProcessFlags* flags) {
  // Read once: every reader below sees the same file, indexed once.
  const Profile profile = file.Snapshot();
  config.sites.clear();
  config.sites.emplace_back();
  config.menu.clear();
  bool ok = ReadGeneralSettings(profile, config.general, config.sites, config.menu, reporter);
  ReadSchedules(profile, config.sites, config.menu, reporter, clock);
  if (config.sites.empty()) ok = false;
  if (flags) flags->reload = false;
  return ok;
}

std::string PortInFile(const Profile& profile) {
  return profile.ReadString("General", "Com", kMissingText);
}

std::string PortChangeRefusal(std::string_view runningPort, std::string_view portInFile) {
  // A file without Com keeps the running port, as a reload would.
  if (IsMissing(portInFile) || portInFile == runningPort) return {};
  return "VESPREC.INI now names the port " + std::string(portInFile) +
         ", this instance serves " + std::string(runningPort) +
         ": a port change needs a restart (ctl quit, then start vesprec again)";
}

}  // namespace vr
