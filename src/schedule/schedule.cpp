#include "schedule/schedule.h"

#include <cstdio>

#include "base/civil_time.h"
#include "log/strings.h"

namespace vr {
namespace {

// Weekday bits 0 (Sunday) to 6 (Saturday) of a weekly site's Ricorrenza.
constexpr std::int32_t kWeekdayBits = 0x7F;

// Above every valid year; keeps the year's accumulation from overflowing.
constexpr int kYearCap = 100000;

// The atoi-like value of text: blanks, an optional sign, then decimal digits.
// Nothing when there is no digit, so a field of blanks or letters is refused
// rather than read as 0.
std::optional<int> FieldValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int value = 0;
  bool anyDigit = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    anyDigit = true;
    if (value < kYearCap) value = value * 10 + (text[i] - '0');
  }
  if (!anyDigit) return std::nullopt;
  return negative ? -value : value;
}

// Midnight of the Sunday that begins the week of a time.
std::int64_t WeekStart(std::int64_t seconds) {
  return (seconds / kSecondsPerDay - Weekday(seconds)) * kSecondsPerDay;
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

void DropEntry(SiteList& sites, SiteList::iterator& it, SitesMenu& menu, int itemId,
               Reporter& reporter) {
  reporter.Report(msg::kSiteDropped, it->name);
  for (SitesMenuItem& item : menu) {
    if (item.id == itemId) {
      item.grayed = true;
      break;
    }
  }
  it = sites.erase(it);
}

// The message of the key that makes the entry's schedule unusable, or 0 when
// it is usable; fills the next due time of a usable entry. now is the time
// taken at the start of the reading.
int ComputeNextRun(SiteEntry& entry, std::string_view ora, std::int64_t now, const Clock& clock) {
  if (entry.ricorrenza == 0) {
    entry.nextRun = now;
    return 0;
  }
  // A period of 0 (or a negative one) or a week without a day would never
  // give a due time, so such a site would silently never run.
  if (entry.ricorrenza < 0 && entry.ogni <= 0) return msg::kOgni;
  if (entry.ricorrenza > 0 && (entry.ricorrenza & kWeekdayBits) == 0) return msg::kRicorrenza;
  const std::optional<OraValue> parsed = ParseOra(ora);
  if (!parsed) return msg::kOra;
  entry.nextRun = parsed->seconds;
  if (!parsed->advanced) AdvanceSchedule(entry, clock);
  return 0;
}

}  // namespace

std::optional<OraValue> ParseOra(std::string_view text) {
  // The year starts at position 12 and needs at least one digit.
  if (text.size() < 13) return std::nullopt;
  const std::optional<int> hour = FieldValue(text.substr(0, 2));
  const std::optional<int> minute = FieldValue(text.substr(3, 2));
  const std::optional<int> day = FieldValue(text.substr(6, 2));
  const std::optional<int> month = FieldValue(text.substr(9, 2));
  const std::optional<int> year = FieldValue(text.substr(12));
  if (!hour || !minute || !day || !month || !year) return std::nullopt;

  CivilTime t;
  t.year = *year;
  t.month = *month;
  t.day = *day;
  t.hour = *hour;
  t.minute = *minute;
  if (!IsValidCivil(t)) return std::nullopt;
  return OraValue{ToSeconds(t), text.back() == 'p'};
}

std::string FormatOra(std::int64_t seconds) {
  const CivilTime t = FromSeconds(seconds);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d.%02d %02d-%02d-%dp", t.hour, t.minute, t.day, t.month,
                t.year);
  return buffer;
}

void ReadSchedules(const Profile& file, SiteList& sites, SitesMenu& menu, Reporter& reporter,
                   const Clock& clock) {
  const Profile profile = file.Snapshot();
  const std::int64_t now = clock.Now().seconds;
  int itemId = kFirstSiteItemId;
  for (auto it = sites.begin(); it != sites.end(); ++itemId) {
    SiteEntry& entry = *it;
    bool keyMissing = false;

    const std::int32_t ogni = profile.ReadInt(entry.name, "Ogni", kMissingNumber);
    if (ogni == kMissingNumber) {
      reporter.Report(msg::kOgni, entry.name);
      keyMissing = true;
    } else {
      entry.ogni = ogni;
    }

    const std::int32_t enabled = profile.ReadInt(entry.name, "SitoAbilitato", kMissingNumber);
    if (enabled == kMissingNumber) {
      reporter.Report(msg::kSitoAbilitato, entry.name);
      keyMissing = true;
    } else {
      entry.enabled = static_cast<std::uint8_t>(enabled & 0xFF);
    }

    const std::string ricorrenza = profile.ReadString(entry.name, "Ricorrenza", kMissingText, 258);
    if (Contains(ricorrenza, kMissingText)) {
      reporter.Report(msg::kRicorrenza, entry.name);
      keyMissing = true;
    } else {
      entry.ricorrenza = profile_text::ParseInt(ricorrenza);
    }

    const std::string ora = profile.ReadString(entry.name, "Ora", kMissingText, 258);
    if (Contains(ora, kMissingText)) {
      reporter.Report(msg::kOra, entry.name);
      DropEntry(sites, it, menu, itemId, reporter);
      continue;
    }
    if (keyMissing) {
      DropEntry(sites, it, menu, itemId, reporter);
      continue;
    }
    if (const int refused = ComputeNextRun(entry, ora, now, clock); refused != 0) {
      reporter.Report(refused, entry.name);
      DropEntry(sites, it, menu, itemId, reporter);
      continue;
    }
    ++it;
  }
}

void AdvanceSchedule(SiteEntry& entry, const Clock& clock) {
  const LocalNow now = clock.Now();
  if (entry.ricorrenza < 0) {
    const auto period = static_cast<std::int64_t>(static_cast<std::uint32_t>(entry.ogni));
    // A period of 0 would never get past the present.
    if (period == 0 || entry.nextRun > now.seconds) return;
    // Whole periods up to now, plus one: the first of the series later than now.
    entry.nextRun += ((now.seconds - entry.nextRun) / period + 1) * period;
    return;
  }
  if (entry.ricorrenza == 0) return;

  // Without a day bit no candidate is ever accepted.
  if ((entry.ricorrenza & kWeekdayBits) == 0) return;
  std::int64_t candidate = entry.nextRun;
  // Days not later than the present are never accepted: skip them at once
  // (same time of day), so a time far in the past costs no day-by-day walk.
  // The present's milliseconds do not matter: a whole-second candidate is
  // later than the present exactly when it is later than its whole seconds.
  if (candidate <= now.seconds) {
    candidate += ((now.seconds - candidate) / kSecondsPerDay + 1) * kSecondsPerDay;
  }
  const std::int64_t presentWeek = WeekStart(now.seconds);
  // Ends: the week distance grows by a week every 7 days and every weekday
  // recurs, so D reaches any int32 Ogni within about 3600 weeks.
  for (;;) {
    if ((entry.ricorrenza >> Weekday(candidate)) & 1) {
      const std::int64_t distance = WeekStart(candidate) - presentWeek;
      if (distance == 0 || distance >= entry.ogni) break;
    }
    candidate += kSecondsPerDay;
  }
  entry.nextRun = candidate;
}

bool StoreNextRun(Profile& profile, const SiteEntry& entry) {
  return profile.WriteString(entry.name, "Ora", FormatOra(entry.nextRun));
}

SiteEntry* StartSiteByHand(SiteList& sites, const SitesMenu& menu, int itemId, const Clock& clock) {
  const SitesMenuItem* chosen = nullptr;
  for (const SitesMenuItem& item : menu) {
    if (item.id == itemId) {
      chosen = &item;
      break;
    }
  }
  if (chosen == nullptr) return nullptr;
  for (SiteEntry& entry : sites) {
    if (entry.name == chosen->text) {
      entry.enabled = 1;
      entry.nextRun = clock.Now().seconds;
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace vr
