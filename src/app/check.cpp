#include "app/check.h"

#include <filesystem>
#include <set>
#include <string_view>

#include "app/configuration.h"
#include "base/path.h"
#include "config/general_settings.h"
#include "config/line_settings.h"
#include "config/site_settings.h"
#include "log/strings.h"
#include "schedule/schedule.h"

namespace vr {
namespace {

std::string TextOf(int id) {
  std::string text(MessageText(id));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

bool IsScheduleReport(int id) {
  return id == msg::kSiteDropped || (id >= msg::kOgni && id <= msg::kOra);
}

const char* KindOf(const SiteEntry& site) {
  if (site.ricorrenza == 0) return "continuous";
  return site.ricorrenza < 0 ? "periodic" : "weekly";
}

}  // namespace

int RunConfigurationCheck(const std::string& programDir, std::ostream& out, std::ostream& err,
                          const Clock& clock) {
  const Profile profile(JoinPath(programDir, kConfigFileName));
  std::error_code ec;
  const bool fileExists = std::filesystem::exists(profile.Path(), ec);
  if (!fileExists) err << "vesprec: " << profile.Path() << ": no such file\n";

  CollectingReporter reporter;
  Configuration config;
  const bool usable = LoadConfiguration(profile, config, reporter, clock);
  const bool noSiteSection =
      config.menu.size() <= 1 && (config.menu.empty() || config.menu.front().text.empty());

  for (const SiteEntry& site : config.sites) {
    SiteSettings settings;
    if (!ReadSiteSettings(profile, site.name, programDir, settings, reporter)) continue;
    if (settings.deviceType == DeviceType::kAvaya) {
      // No serial line; the call-log run reads these two itself and reports
      // a missing one as 7006.
      for (const char* key : {"IndirizzoIP", "Password"}) {
        if (IsMissing(profile.ReadString(site.name, key, kMissingText))) {
          reporter.Report(msg::kSiteSettings, site.name);
          break;
        }
      }
      continue;
    }
    LineSettings line;
    if (ReadLineSettings(profile, site.name, line, reporter).result == 0)
      CheckPortSettings(line, site.name, reporter);
  }

  int problems = 0;
  std::set<std::string> sitesWithProblems;
  for (const auto& item : reporter.items) {
    // Without any site section the reader's placeholder entry has no name;
    // its schedule reports say nothing to the installer.
    if (noSiteSection && item.siteCode.empty() && IsScheduleReport(item.id)) continue;
    ++problems;
    sitesWithProblems.insert(item.siteCode);
    if (!item.siteCode.empty()) out << item.siteCode << ": ";
    out << TextOf(item.id) << '\n';
  }
  if (fileExists && noSiteSection) err << "vesprec: " << profile.Path() << ": no site section\n";
  if (!usable) {
    out << TextOf(msg::kConfigUnusable) << '\n';
    return 1;
  }
  for (const SiteEntry& site : config.sites) {
    if (sitesWithProblems.count(site.name)) continue;
    out << site.name << "  " << FormatOra(site.nextRun) << "  " << KindOf(site);
    if (!site.enabled) out << " (disabled)";
    out << '\n';
  }
  return problems == 0 ? 0 : 1;
}

}  // namespace vr
