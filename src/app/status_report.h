#pragma once
// The machine-readable status (`vesprec ctl status --json`): what the worker
// tells about itself, and per site what it stored since the start and what
// waits in the site's overflow and rescue files, as one line of JSON.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/worker_mailbox.h"
#include "config/profile.h"
#include "config/settings.h"
#include "storage/file_system.h"

namespace vr {

// What the site's files hold that has not reached its data files yet.
struct SiteFileBytes {
  std::string code;
  bool inSchedule = true;       // false: dropped from the schedule (grayed in the menu)
  std::uint64_t overflowBytes = 0;  // the overflow files of Dati, Dati2 and Storico
  std::uint64_t rescueBytes = 0;    // their rescue files
  std::uint32_t intervalReadMs = 0; // the interval time-out its reads get now (0: none)
};

struct SiteReport {
  SiteFileBytes files;
  SiteActivity activity;
};

struct StatusReport {
  std::string port;
  std::int64_t pid = 0;
  std::string site;  // empty between sites
  std::string state;
  std::uint64_t lines = 0;
  std::string icon;
  std::string title;
  std::vector<int> warnings;  // pending warning ids, ascending
  std::vector<SiteReport> sites;
};

// Measures the files of each site of the menu, in menu order, from the keys
// that VESPREC.INI holds now, and notes each site's interval time-out. A
// missing data file key or a file that is not there counts 0.
std::vector<SiteFileBytes> MeasureSiteFiles(const Profile& profile, const SitesMenu& menu,
                                            std::string_view programDir, FileSystem& files);

// The sites of the report: those of the menu with what the worker stored for
// them, then any site the worker stored for that the menu no longer has (a
// reload dropped its section), by code.
std::vector<SiteReport> MergeSiteReports(std::vector<SiteFileBytes> files,
                                         const std::map<std::string, SiteActivity>& activity);

// text as a JSON string, quotes included. Valid UTF-8 stays as it is; a byte
// that is not part of a valid UTF-8 sequence (a Windows-1252 site code, say)
// is read as Latin-1 and escaped, so the result is always valid JSON.
void AppendJsonString(std::string& out, std::string_view text);

// "YYYY-MM-DDTHH:MM:SS" of local seconds since 1601-01-01 (no time zone: the
// recorder's clock is local wall-clock time).
std::string LocalTimeText(std::int64_t localSeconds);

// The report as one JSON object on one line, without a line end.
std::string StatusJson(const StatusReport& report);

}  // namespace vr
