#pragma once
// Loading the whole configuration: general settings, site list, sites menu
// and schedules.

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

}  // namespace vr
