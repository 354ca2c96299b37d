#include "app/configuration.h"

#include "config/general_settings.h"
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

}  // namespace vr
