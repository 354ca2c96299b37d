#include "config/general_settings.h"

#include "log/strings.h"

namespace vr {
namespace {

constexpr const char* kGeneral = "General";

bool IsReservedSection(std::string_view name) {
  return name == "General" || name == "Modem" || name == "Siti";
}

}  // namespace

bool IsMissing(std::string_view value) { return value.find(kMissingText) != std::string_view::npos; }

std::string WindowTitle(std::string_view com) {
  std::string title = kDisplayName;
  title += ' ';
  title += com;
  return title;
}

void BuildSiteList(const std::vector<std::string>& sectionNames, SiteList& sites,
                   SitesMenu& menu) {
  if (sites.empty()) sites.emplace_back();
  bool first = true;
  int itemId = kFirstSiteItemId;
  // The file's first section (normally [General]) is never a site.
  for (std::size_t i = 1; i < sectionNames.size(); ++i) {
    const std::string& name = sectionNames[i];
    if (IsReservedSection(name)) continue;
    if (first) {
      sites.front().name = name;
      first = false;
    } else {
      SiteEntry entry;
      entry.name = name;
      sites.push_back(std::move(entry));
    }
    menu.push_back({itemId++, name, false});
  }
  // With no site section the first entry keeps its empty name and still gets
  // its (empty) menu item; the schedule reader then drops it.
  if (first) menu.push_back({itemId, std::string(), false});
}

bool ReadGeneralSettings(const Profile& file, GeneralSettings& general, SiteList& sites,
                         SitesMenu& menu, Reporter& reporter) {
  const Profile profile = file.Snapshot();
  bool ok = true;
  const std::vector<std::string> names = profile.SectionNames();
  if (names.empty()) {
    reporter.Report(msg::kNoSections, {});
    ok = false;
  } else {
    BuildSiteList(names, sites, menu);
  }

  const std::string com = profile.ReadString(kGeneral, "Com", kMissingText);
  if (IsMissing(com)) {
    reporter.Report(msg::kCom, {});
    ok = false;
  } else {
    general.com = com;
  }
  general.windowTitle = WindowTitle(general.com);

  const std::string log = profile.ReadString(kGeneral, "Log", kMissingText);
  if (IsMissing(log)) {
    reporter.Report(msg::kLog, {});
    ok = false;
  } else {
    general.log = log;
  }

  const std::string noVisible = profile.ReadString(kGeneral, "NoVisible", kMissingText);
  if (noVisible == "1") general.noVisible = 1;
  if (noVisible == "2") general.noVisible = 2;
  return ok;
}

SiteEntry* FindSite(SiteList& sites, std::string_view name) {
  for (SiteEntry& entry : sites)
    if (entry.name == name) return &entry;
  return nullptr;
}

}  // namespace vr
