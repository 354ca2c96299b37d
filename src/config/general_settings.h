#pragma once
// The [General] section and the site list with its menu.

#include <string_view>
#include <vector>

#include "config/profile.h"
#include "config/reporter.h"
#include "config/settings.h"

namespace vr {

// Reads the section names into the site list and the sites menu, then Com,
// Log and NoVisible. False when 5044, 5045 or 5046 was reported. A missing key
// leaves its field as it was. The site list must hold the single all-zero
// entry that a load starts with.
bool ReadGeneralSettings(const Profile& profile, GeneralSettings& general, SiteList& sites,
                         SitesMenu& menu, Reporter& reporter);

// Fills the site list and the sites menu from the file's section names: the
// first name is passed over (it is never a site), and "General", "Modem" and
// "Siti" are skipped wherever they stand. The first site goes into the entry
// the list already holds; with no site that entry keeps an empty name.
void BuildSiteList(const std::vector<std::string>& sectionNames, SiteList& sites,
                   SitesMenu& menu);

// The first entry whose name equals name exactly, or none.
SiteEntry* FindSite(SiteList& sites, std::string_view name);

// "Vesper Recorder " followed by the port name.
std::string WindowTitle(std::string_view com);

// A string key is missing when the text read contains the sentinel.
bool IsMissing(std::string_view value);

}  // namespace vr
