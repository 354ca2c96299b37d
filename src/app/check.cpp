#include "app/check.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "app/check_probe.h"
#include "app/configuration.h"
#include "base/path.h"
#include "config/general_settings.h"
#include "config/line_settings.h"
#include "config/site_settings.h"
#include "line/open_line.h"
#include "line/socket.h"
#include "log/error_log.h"
#include "line/tcp_line.h"
#include "log/strings.h"
#include "schedule/schedule.h"
#include "storage/move_intent.h"
#include "storage/waiting_chunks.h"

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

// One line of the listing, under the section it belongs to (empty: the
// general part).
struct Finding {
  bool warning = false;
  std::string text;
};

class Findings {
 public:
  void Problem(const std::string& site, int id, const std::string& detail = {}) {
    std::string text = TextOf(id);
    if (!detail.empty()) text += " (" + detail + ")";
    bySite_[site].push_back({false, std::move(text)});
  }
  void Warning(const std::string& site, std::size_t lineNumber, const std::string& text) {
    std::string line = "warning: ";
    if (lineNumber != 0) line += "line " + std::to_string(lineNumber) + ": ";
    bySite_[site].push_back({true, line + text});
  }
  void Add(const std::string& site, int id, const ProbeResult& probe) {
    if (probe.verdict == ProbeResult::Verdict::kProblem) Problem(site, id, probe.detail);
  }
  // Prints the findings of site (once), counting the problems.
  void Print(const std::string& site, std::ostream& out) {
    const auto it = bySite_.find(site);
    if (it == bySite_.end()) return;
    for (const Finding& finding : it->second) {
      if (!site.empty()) out << site << ": ";
      out << finding.text << '\n';
      if (!finding.warning) {
        ++problems_;
        sitesWithProblems_.insert(site);
      }
    }
    bySite_.erase(it);
  }
  int Problems() const { return problems_; }
  bool HasProblem(const std::string& site) const { return sitesWithProblems_.count(site) != 0; }

 private:
  std::map<std::string, std::vector<Finding>> bySite_;
  std::set<std::string> sitesWithProblems_;
  int problems_ = 0;
};

// Reports a reader makes, filed under their site.
class FindingsReporter final : public Reporter {
 public:
  explicit FindingsReporter(Findings& findings) : findings_(findings) {}
  void Report(int id, std::string_view siteCode) override {
    reported_.insert({std::string(siteCode), id});
    findings_.Problem(std::string(siteCode), id);
  }
  bool Reported(const std::string& site, int id) const { return reported_.count({site, id}) != 0; }

 private:
  Findings& findings_;
  std::set<std::pair<std::string, int>> reported_;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A ';' after a blank inside a value that is not quoted: meant as a comment,
// read as part of the value.
bool HoldsInlineComment(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\''))
    return false;
  for (std::size_t i = 1; i < value.size(); ++i)
    if (value[i] == ';' && IsBlank(value[i - 1])) return true;
  return false;
}

bool IsReservedSection(std::string_view name) {
  return name == "General" || name == "Modem" || name == "Siti";
}

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// What the text of the file itself shows: values with a comment after them,
// and sections whose keys can never be read. Filed under the site of the
// section they stand in (the general part for the others).
void FindTextWarnings(const std::string& text, Findings& findings) {
  std::map<std::string, std::size_t> firstLineOf;  // lower-case section name: its line
  std::string site;
  bool firstSection = true;
  for (const profile_text::Entry& entry : profile_text::Entries(text)) {
    if (entry.kind == profile_text::Entry::Kind::kSection) {
      const std::string name(entry.name);
      site = firstSection || IsReservedSection(name) ? std::string() : name;
      firstSection = false;
      const auto [it, first] = firstLineOf.emplace(LowerAscii(name), entry.lineNumber);
      if (!first)
        findings.Warning(site, entry.lineNumber,
                         "section [" + name + "] repeats the section of line " +
                             std::to_string(it->second) +
                             " (names match without regard to case): its keys are never read");
      continue;
    }
    if (HoldsInlineComment(entry.value))
      findings.Warning(site, entry.lineNumber,
                       "the value of " + std::string(entry.name) +
                           " holds \";\" after a blank, which is read as part of the value, not "
                           "as a comment; put comments on lines of their own");
  }
}

// The line of the first Com key, for the warning about the port.
std::size_t LineOfKey(const std::string& text, std::string_view section, std::string_view key) {
  bool inSection = false;
  for (const profile_text::Entry& entry : profile_text::Entries(text)) {
    if (entry.kind == profile_text::Entry::Kind::kSection) {
      if (inSection) break;
      inSection = LowerAscii(entry.name) == LowerAscii(section);
    } else if (inSection && LowerAscii(entry.name) == LowerAscii(key)) {
      return entry.lineNumber;
    }
  }
  return 0;
}

// A TCP line: its name must be well formed; a listening one must find its
// port free (the exchange may be off now, so a connecting one is not tried).
ProbeResult ProbeTcpPort(const std::string& com) {
  const std::optional<TcpPortName> name = ParseTcpPortName(com);
  if (!name) {
    return {ProbeResult::Verdict::kProblem,
            com + " is not tcp:HOST:PORT or tcp-listen:[ADDRESS:]PORT (PORT 1 to 65535)"};
  }
  if (!name->listen) return {};
  std::uint32_t error = 0;
  const net::SocketHandle listener = net::Listen(name->host, name->port, error);
  if (listener == net::kNoSocket) {
    return {ProbeResult::Verdict::kWarning,
            com + ": cannot listen now (" + SystemErrorText(error) +
                "): another program, or a running recorder, may hold the port"};
  }
  net::Close(listener);
  return {};
}

// Who may connect to a listening line: a line open to every address without
// a list takes any host's bytes as call records.
void CheckAllowedPeers(const Profile& profile, const GeneralSettings& general,
                       Findings& findings) {
  const std::string allowed = profile.ReadString("General", kAllowedPeersKey, kMissingText);
  const std::size_t line = LineOfKey(profile.SnapshotText(), "General", kAllowedPeersKey);
  const std::optional<TcpPortName> name =
      IsTcpPortName(general.com) ? ParseTcpPortName(general.com) : std::nullopt;
  const bool listening = name && name->listen;
  if (IsMissing(allowed)) {
    if (listening && ListensOnEveryAddress(*name))
      findings.Warning({}, LineOfKey(profile.SnapshotText(), "General", "Com"),
                       general.com + " takes a connection from any host on every address; list "
                       "the exchange's address in " + kAllowedPeersKey + " (e.g. " +
                       kAllowedPeersKey + "=192.168.1.20)");
    return;
  }
  std::vector<std::string> bad;
  const std::vector<std::string> peers = ParseAllowedPeers(allowed, &bad);
  for (const std::string& entry : bad)
    findings.Warning({}, line,
                     std::string(kAllowedPeersKey) + ": \"" + entry +
                         "\" is no IPv4 or IPv6 address and allows nobody");
  if (peers.empty() && !bad.empty())
    findings.Warning({}, line,
                     std::string(kAllowedPeersKey) + " allows no address: the line takes no "
                     "connection");
  if (!listening)
    findings.Warning({}, line,
                     std::string(kAllowedPeersKey) + " is read only by a tcp-listen line; Com=" +
                         general.com + " does not use it");
}

void CheckGeneral(const Profile& profile, const GeneralSettings& general,
                  const CheckProbes& probes, Findings& findings) {
  const std::string com = profile.ReadString("General", "Com", kMissingText);
  if (!IsMissing(com)) {
    const ProbeResult port =
        IsTcpPortName(general.com) ? ProbeTcpPort(general.com) : probes.port(general.com);
    if (port.verdict == ProbeResult::Verdict::kWarning)
      findings.Warning({}, LineOfKey(profile.SnapshotText(), "General", "Com"), port.detail);
    findings.Add({}, msg::kCom, port);
  }
  const std::string log = profile.ReadString("General", "Log", kMissingText);
  if (!IsMissing(log)) findings.Add({}, msg::kLog, probes.appendableFile(general.log));
  CheckAllowedPeers(profile, general, findings);
}

// A Baud whose digits go beyond 32 bits reads as the largest number the
// reader keeps, which no port takes.
bool BaudBeyond32Bits(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && IsBlank(value[i])) ++i;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) return false;
  std::uint64_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = number * 10 + static_cast<std::uint64_t>(value[i] - '0');
    if (number > std::numeric_limits<std::int32_t>::max()) return true;
  }
  return false;
}

// SIntervalRead: a value the recorder cannot read leaves the key off, so it
// is refused; one that is read but does not apply to the site is pointed out.
void CheckIntervalRead(const Profile& profile, const std::string& site,
                       const SiteSettings& settings, std::int32_t modemFlag, Findings& findings) {
  const std::string value = profile.ReadString(site, "SIntervalRead", kMissingText);
  if (IsMissing(value)) return;
  if (!ParseIntervalRead(value)) {
    findings.Problem(site, msg::kSiteSettings,
                     "SIntervalRead=" + value + " is not a number of milliseconds, 0 or more");
    return;
  }
  if (settings.sIntervalReadMs != 0 && ReadIntervalOf(settings, modemFlag) == 0)
    findings.Warning(site, LineOfKey(profile.SnapshotText(), site, "SIntervalRead"),
                     "SIntervalRead applies only to a COM, BUFF or TCPIP site without a modem "
                     "or MetodoAlternativo; this site's reads end as before");
}

void CheckSite(const Profile& profile, const std::string& site, const std::string& programDir,
               bool tcpLine, const CheckProbes& probes, Findings& findings) {
  FindingsReporter reporter(findings);
  SiteSettings settings;
  ReadSiteSettings(profile, site, programDir, settings, reporter, MissingKeys::kReportEvery);

  struct DataPath {
    const std::string& path;
    const std::string& overflow;
    int id;
  };
  const DataPath paths[] = {{settings.dati, settings.datiOverflow, msg::kDati},
                            {settings.dati2, settings.dati2Overflow, msg::kDati2},
                            {settings.storico, settings.storicoOverflow, msg::kStorico}};
  bool nameTooLong = false;
  for (const DataPath& data : paths) {
    if (reporter.Reported(site, data.id)) continue;
    findings.Add(site, data.id, probes.appendableFile(data.path));
    // The longest name made from the site code: a rescue file's intent file.
    const std::string longest = storage_internal::IntentPath(RescuePath(data.overflow));
    const std::size_t bytes = FileNamePart(longest).size();
    if (bytes > kMaxFileNameBytes && !nameTooLong) {
      nameTooLong = true;
      findings.Problem(site, msg::kDataFilesCreate,
                       "the site code makes file names of " + std::to_string(bytes) +
                           " bytes in the program folder, more than " +
                           std::to_string(kMaxFileNameBytes));
    }
  }

  if (settings.deviceType == DeviceType::kAvaya) {
    CheckIntervalRead(profile, site, settings, 0, findings);
    // No serial line; the call-log run reads these two itself and reports a
    // missing one as 7006.
    for (const char* key : {"IndirizzoIP", "Password"}) {
      if (IsMissing(profile.ReadString(site, key, kMissingText))) {
        findings.Problem(site, msg::kSiteSettings, std::string(key) + " is missing");
        break;
      }
    }
    return;
  }
  LineSettings line;
  ReadLineSettings(profile, site, line, reporter);
  CheckIntervalRead(profile, site, settings, line.modem, findings);
  if (const std::string baud = profile.ReadString(site, "Baud", kMissingText);
      !IsMissing(baud) && !reporter.Reported(site, msg::kBaud) && BaudBeyond32Bits(baud))
    findings.Problem(site, msg::kBaud, baud + " is beyond 32 bits");
  // What the port's setting would refuse, unless the key was already reported.
  CollectingReporter port;
  CheckPortSettings(line, site, port);
  for (const auto& item : port.items)
    if (!reporter.Reported(site, item.id)) findings.Problem(site, item.id);
  // A network connection has no modem lines: neither a modem to dial nor
  // hardware flow control works over it (XON and XOFF do).
  if (tcpLine && line.modem == 1 && !reporter.Reported(site, msg::kModem))
    findings.Problem(site, msg::kModem, "Modem=1 on a TCP line, which has no modem to dial");
  if (tcpLine && line.handshake == Handshake::kHdw && !reporter.Reported(site, msg::kHandshake))
    findings.Problem(site, msg::kHandshake,
                     "Handshake=HDW needs modem lines, which a TCP line does not have; use XON "
                     "or NONE");
}

}  // namespace

int RunConfigurationCheck(const std::string& programDir, std::ostream& out, std::ostream& err,
                          const Clock& clock, const CheckProbes& probes) {
  const std::string path = JoinPath(programDir, kConfigFileName);
  std::error_code ec;
  const bool fileExists = std::filesystem::exists(FileSystemPath(path), ec);
  if (!fileExists) err << "vesprec: " << path << ": no such file\n";
  // One reading of the file for the whole check.
  const Profile profile = Profile(path).Snapshot();

  // Exactly the start-up's reading first: its reports, and the sites it keeps.
  CollectingReporter startup;
  Configuration config;
  const bool usable = LoadConfiguration(profile, config, startup, clock);
  const bool noSiteSection =
      config.menu.size() <= 1 && (config.menu.empty() || config.menu.front().text.empty());

  Findings findings;
  for (const auto& item : startup.items) {
    // Without any site section the reader's placeholder entry has no name;
    // its schedule reports say nothing to the installer.
    if (noSiteSection && item.siteCode.empty() && IsScheduleReport(item.id)) continue;
    findings.Problem(item.siteCode, item.id);
  }
  CheckGeneral(profile, config.general, probes, findings);
  FindTextWarnings(profile.SnapshotText(), findings);

  // Then every site section, dropped ones too, with every key it holds.
  std::set<std::string> checked;
  if (!noSiteSection) {
    for (const SitesMenuItem& item : config.menu)
      if (checked.insert(item.text).second)
        CheckSite(profile, item.text, programDir, IsTcpPortName(config.general.com), probes,
                  findings);
  }

  // In file order: the general part, then each site section with what the
  // start-up reading said about it and then everything else.
  findings.Print({}, out);
  for (const SitesMenuItem& item : config.menu) findings.Print(item.text, out);

  if (fileExists && noSiteSection) err << "vesprec: " << path << ": no site section\n";
  if (!usable) {
    out << TextOf(msg::kConfigUnusable) << '\n';
    return 1;
  }
  for (const SiteEntry& site : config.sites) {
    if (findings.HasProblem(site.name)) continue;
    out << site.name << "  " << FormatOra(site.nextRun) << "  " << KindOf(site);
    if (!site.enabled) out << " (disabled)";
    out << '\n';
  }
  return findings.Problems() == 0 ? 0 : 1;
}

}  // namespace vr
