#pragma once
// Site schedules: reading the four schedule keys of every site, moving a
// site's next due time past the present, writing it back as Ora, and starting
// a site by hand from the sites menu.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "config/profile.h"
#include "config/reporter.h"
#include "config/settings.h"

namespace vr {

struct OraValue {
  std::int64_t seconds = 0;  // local seconds since 1601-01-01
  bool advanced = false;     // ended with "p": already the next due time
};

// Reads an Ora text (hours at 0-1, minutes 3-4, day 6-7, month 9-10, year
// from 12, optional final "p"). Nothing when it gives no valid date and time.
std::optional<OraValue> ParseOra(std::string_view text);

// "HH.MM DD-MM-YYYYp".
std::string FormatOra(std::int64_t seconds);

// Reads Ogni, SitoAbilitato, Ricorrenza and Ora of every entry, computes the
// next due times and drops the entries whose schedule is unusable (reporting
// the key, then 5010, and graying the entry's menu item).
void ReadSchedules(const Profile& profile, SiteList& sites, SitesMenu& menu, Reporter& reporter,
                   const Clock& clock);

// Moves the entry's next due time past the present according to its kind.
void AdvanceSchedule(SiteEntry& entry, const Clock& clock);

// Writes the entry's next due time as Ora into its section.
bool StoreNextRun(Profile& profile, const SiteEntry& entry);

// The site of a sites-menu item is made due now and enabled. Nothing when no
// entry bears the item's name; the caller then starts nothing.
SiteEntry* StartSiteByHand(SiteList& sites, const SitesMenu& menu, int itemId, const Clock& clock);

}  // namespace vr
