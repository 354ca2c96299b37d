#pragma once
// Loading the whole configuration: general settings, site list, sites menu
// and schedules.

#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/flags.h"
#include "config/profile.h"
#include "config/reporter.h"
#include "config/settings.h"

namespace vr {

struct Configuration {
  GeneralSettings general;  // kept between loads
  SiteList sites;           // rebuilt at every load
  SitesMenu menu;           // rebuilt at every load
};

// Reads the configuration anew. True when it is usable: the general settings
// are complete and at least one site has a usable schedule. flags, when
// given, has its reload flag cleared.
bool LoadConfiguration(const Profile& profile, Configuration& config, Reporter& reporter,
                       const Clock& clock, ProcessFlags* flags = nullptr);

// Com as the configuration file names it now, read afresh (the missing-key
// text when it names none).
std::string PortInFile(const Profile& profile);

// Why a reload is refused when VESPREC.INI now names another port than the
// one this instance serves (the instance guard, the control channel and the
// worker's line all belong to the port it started with); empty when the
// reload may go ahead.
std::string PortChangeRefusal(std::string_view runningPort, std::string_view portInFile);

}  // namespace vr
