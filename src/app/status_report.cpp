#include "app/status_report.h"

#include <cstdio>
#include <map>
#include <utility>

#include "base/civil_time.h"
#include "config/site_settings.h"
#include "storage/waiting_chunks.h"

namespace vr {
namespace {

// Ignores what the reading finds missing: status only measures files.
class QuietReporter final : public Reporter {
 public:
  void Report(int, std::string_view) override {}
};

// The length of the valid UTF-8 sequence at text[at], 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // the second byte's range: excludes overlongs and surrogates
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

void AppendUnicodeEscape(std::string& out, unsigned char byte) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
  out += escaped;
}

void AppendKey(std::string& out, std::string_view key) {
  AppendJsonString(out, key);
  out += ':';
}

void AppendField(std::string& out, std::string_view key, std::string_view value) {
  AppendKey(out, key);
  AppendJsonString(out, value);
  out += ',';
}

void AppendField(std::string& out, std::string_view key, std::uint64_t value) {
  AppendKey(out, key);
  out += std::to_string(value);
  out += ',';
}

void AppendSite(std::string& out, const SiteReport& site) {
  out += '{';
  AppendField(out, "code", site.files.code);
  AppendKey(out, "in_schedule");
  out += site.files.inSchedule ? "true," : "false,";
  AppendKey(out, "last_record");
  if (site.activity.lastRecordSeconds < 0)
    out += "null";
  else
    AppendJsonString(out, LocalTimeText(site.activity.lastRecordSeconds));
  out += ',';
  AppendField(out, "records", site.activity.records);
  AppendField(out, "bytes", site.activity.bytes);
  AppendField(out, "overflow_bytes", site.files.overflowBytes);
  AppendField(out, "rescue_bytes", site.files.rescueBytes);
  AppendKey(out, "interval_read_ms");
  out += std::to_string(site.files.intervalReadMs);
  out += '}';
}

}  // namespace

std::vector<SiteFileBytes> MeasureSiteFiles(const Profile& profile, const SitesMenu& menu,
                                            std::string_view programDir, FileSystem& files) {
  const Profile snapshot = profile.Snapshot();
  std::vector<SiteFileBytes> measured;
  measured.reserve(menu.size());
  for (const SitesMenuItem& item : menu) {
    SiteFileBytes site;
    site.code = item.text;
    site.inSchedule = !item.grayed;
    SiteSettings settings;
    QuietReporter quiet;
    ReadSiteSettings(snapshot, item.text, programDir, settings, quiet, MissingKeys::kReportEvery);
    // What its reads get: none where the key does not apply.
    site.intervalReadMs =
        ReadIntervalOf(settings, snapshot.ReadInt(item.text, "Modem", kMissingNumber));
    for (const std::string* overflow :
         {&settings.datiOverflow, &settings.dati2Overflow, &settings.storicoOverflow}) {
      if (overflow->empty()) continue;
      std::uint64_t bytes = 0;
      if (files.LookUp(*overflow, bytes)) site.overflowBytes += bytes;
      if (files.LookUp(RescuePath(*overflow), bytes)) site.rescueBytes += bytes;
    }
    measured.push_back(std::move(site));
  }
  return measured;
}

std::vector<SiteReport> MergeSiteReports(std::vector<SiteFileBytes> files,
                                         const std::map<std::string, SiteActivity>& activity) {
  std::vector<SiteReport> reports;
  reports.reserve(files.size());
  std::map<std::string, bool> listed;
  for (SiteFileBytes& site : files) {
    listed[site.code] = true;
    const auto it = activity.find(site.code);
    reports.push_back({std::move(site), it == activity.end() ? SiteActivity{} : it->second});
  }
  for (const auto& [code, stored] : activity)
    if (!listed.contains(code)) {
      SiteFileBytes dropped;
      dropped.code = code;
      dropped.inSchedule = false;
      reports.push_back({std::move(dropped), stored});
    }
  return reports;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80) {
      if (const std::size_t length = Utf8SequenceLength(text, i); length > 0) {
        out.append(text.substr(i, length));
        i += length;
      } else {
        AppendUnicodeEscape(out, byte);
        ++i;
      }
      continue;
    }
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F)
          AppendUnicodeEscape(out, byte);
        else
          out += static_cast<char>(byte);
    }
    ++i;
  }
  out += '"';
}

std::string LocalTimeText(std::int64_t localSeconds) {
  const CivilTime t = FromSeconds(localSeconds);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return text;
}

std::string StatusJson(const StatusReport& report) {
  std::string out = "{";
  AppendField(out, "port", report.port);
  AppendKey(out, "pid");
  out += std::to_string(report.pid);
  out += ',';
  AppendKey(out, "site");
  if (report.site.empty())
    out += "null";
  else
    AppendJsonString(out, report.site);
  out += ',';
  AppendField(out, "state", report.state);
  AppendField(out, "lines", report.lines);
  AppendField(out, "icon", report.icon);
  AppendField(out, "title", report.title);
  AppendKey(out, "warnings");
  out += '[';
  for (std::size_t i = 0; i < report.warnings.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(report.warnings[i]);
  }
  out += "],";
  AppendKey(out, "sites");
  out += '[';
  for (std::size_t i = 0; i < report.sites.size(); ++i) {
    if (i > 0) out += ',';
    AppendSite(out, report.sites[i]);
  }
  out += "]}";
  return out;
}

}  // namespace vr
