#include "config/site_settings.h"

#include <algorithm>
#include <cstdint>

#include "base/path.h"
#include "config/general_settings.h"
#include "log/strings.h"

namespace vr {
namespace {

constexpr std::size_t kMaxCharToDel = 127;
constexpr std::size_t kMaxPathChars = 258;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the required numeric keys in order; each is stored as soon as read.
struct NumericKey {
  const char* key;
  int id;
  std::uint32_t SiteSettings::*field;
  std::uint32_t scale;
};

constexpr NumericKey kNumericKeys[] = {
    {"AggData", msg::kAggData, &SiteSettings::aggData, 1},
    {"AggOra", msg::kAggOra, &SiteSettings::aggOra, 1},
    {"EliminaNull", msg::kEliminaNull, &SiteSettings::eliminaNull, 1},
    {"CorreggiCR", msg::kCorreggiCR, &SiteSettings::correggiCR, 1},
    {"FlagCRLF", msg::kFlagCRLF, &SiteSettings::flagCRLF, 1},
    {"Importazione", msg::kImportazione, &SiteSettings::importazione, 1},
    {"STimeRead", msg::kSTimeRead, &SiteSettings::sTimeReadMs, 100},
    {"STimeWrite", msg::kSTimeWrite, &SiteSettings::sTimeWriteMs, 100},
    {"MTimeRead", msg::kMTimeRead, &SiteSettings::mTimeReadMs, 100},
    {"MTimeWrite", msg::kMTimeWrite, &SiteSettings::mTimeWriteMs, 100},
    {"FileTimeout", msg::kFileTimeout, &SiteSettings::fileTimeoutMs, 1000},
    {"SpazioTimeout", msg::kSpazioTimeout, &SiteSettings::spazioTimeoutMb, 1},
};

struct PathKey {
  const char* key;
  int id;
  std::string SiteSettings::*path;
  std::string SiteSettings::*overflow;
  const char* suffix;
};

constexpr PathKey kPathKeys[] = {
    {"Dati", msg::kDati, &SiteSettings::dati, &SiteSettings::datiOverflow, "_D.TXT"},
    {"Dati2", msg::kDati2, &SiteSettings::dati2, &SiteSettings::dati2Overflow, "_B.TXT"},
    {"Storico", msg::kStorico, &SiteSettings::storico, &SiteSettings::storicoOverflow, "_S.TXT"},
};

}  // namespace

std::string ToUpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

std::vector<std::uint8_t> ParseCharToDel(std::string_view value) {
  std::vector<std::uint8_t> bytes;
  if (value.size() % 2 != 0) return bytes;
  for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
    const int high = HexDigit(value[i]);
    const int low = HexDigit(value[i + 1]);
    if (high < 0 || low < 0) return {};
    // A 258-character value can name 129 bytes; the list holds 127.
    if (bytes.size() < kMaxCharToDel) bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::optional<std::uint8_t> ParseCrlfAlternativo(std::string_view value) {
  if (value.size() < 2) return std::nullopt;
  const int high = HexDigit(value[0]);
  const int low = HexDigit(value[1]);
  if (high < 0 || low < 0) return std::nullopt;
  return static_cast<std::uint8_t>(high * 16 + low);
}

DeviceType DeviceTypeFromName(std::string_view value) {
  static constexpr struct {
    const char* word;
    DeviceType type;
  } kWords[] = {
      {"COM", DeviceType::kCom},     {"BUFF", DeviceType::kCom},    {"KSTA", DeviceType::kKsta},
      {"KSTB", DeviceType::kKstb},   {"KSTC", DeviceType::kKstc},   {"KSTD", DeviceType::kKstd},
      {"TCPIP", DeviceType::kTcpip}, {"AVAYA", DeviceType::kAvaya},
  };
  const std::string upper = ToUpperAscii(value);
  for (const auto& w : kWords)
    if (upper.find(w.word) != std::string::npos) return w.type;
  return DeviceType::kNone;
}

std::optional<std::uint32_t> ParseIntervalRead(std::string_view value) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!value.empty() && blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && blank(value.back())) value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  std::uint64_t number = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
    if (number > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(number);
}

std::uint32_t ReadIntervalOf(const SiteSettings& site, std::int32_t modemFlag) {
  const bool textLine = site.deviceType == DeviceType::kCom || site.deviceType == DeviceType::kTcpip;
  if (!textLine || modemFlag != 0 || site.metodoAlternativo) return 0;
  return site.sIntervalReadMs;
}

std::string OverflowPath(std::string_view programDir, std::string_view siteCode,
                         std::string_view dataPath, std::string_view suffix) {
  const std::string_view fileName = FileNamePart(dataPath);
  std::string path = JoinPath(programDir, siteCode);
  path += fileName;
  // The four characters of the extension go; a shorter name must not eat
  // into the site code, or two sites could share one overflow file.
  path.resize(path.size() - std::min<std::size_t>(4, fileName.size()));
  path += suffix;
  return path;
}

bool ReadSiteSettings(const Profile& file, std::string_view siteCode,
                      std::string_view programDir, SiteSettings& settings, Reporter& reporter,
                      MissingKeys missing) {
  // One reading of the file for all the keys: the same settings whatever
  // another program writes meanwhile, and no scan per key.
  const Profile profile = file.Snapshot();
  bool ok = true;
  // True when the reading ends here.
  auto fail = [&](int id) {
    reporter.Report(id, siteCode);
    ok = false;
    return missing == MissingKeys::kStopAtFirst;
  };
  auto readString = [&](const char* key) {
    return profile.ReadString(siteCode, key, kMissingText, kMaxPathChars);
  };

  for (const PathKey& k : kPathKeys) {
    (settings.*k.path).clear();
    (settings.*k.overflow).clear();
  }
  settings.charToDel.clear();

  if (const std::string value = readString("CharToDel"); !IsMissing(value))
    settings.charToDel = ParseCharToDel(value);
  if (const std::string value = readString("CRLFAlternativo"); !IsMissing(value)) {
    if (const auto byte = ParseCrlfAlternativo(value)) settings.crlfAlternativo = *byte;
  }

  for (const PathKey& k : kPathKeys) {
    const std::string value = readString(k.key);
    if (IsMissing(value)) {
      if (fail(k.id)) return false;
      continue;
    }
    settings.*k.path = value;
    settings.*k.overflow = OverflowPath(programDir, siteCode, value, k.suffix);
  }

  for (const NumericKey& k : kNumericKeys) {
    const std::int32_t value = profile.ReadInt(siteCode, k.key, kMissingNumber);
    if (value == kMissingNumber) {
      if (fail(k.id)) return false;
      continue;
    }
    // Unsigned 32-bit arithmetic, as the fields are; no range is enforced.
    settings.*k.field = static_cast<std::uint32_t>(value) * k.scale;
  }

  settings.startStop = profile.ReadInt(siteCode, "NoStartStop", kMissingNumber) == 0;
  if (profile.ReadInt(siteCode, "NoHeader", kMissingNumber) == 1) settings.lineHeader = false;

  const std::string device = readString("Dispositivo");
  const DeviceType type = IsMissing(device) ? DeviceType::kNone : DeviceTypeFromName(device);
  if (type == DeviceType::kNone) {
    if (fail(msg::kDispositivo)) return false;
  } else {
    settings.deviceType = type;
  }

  if (const std::int32_t value = profile.ReadInt(siteCode, "MetodoAlternativo", kMissingNumber);
      value != kMissingNumber)
    settings.metodoAlternativo = value != 0;
  // Read afresh at every connection: a site that drops the key stops syncing.
  const std::int32_t sync = profile.ReadInt(siteCode, "Sincronizza", kMissingNumber);
  settings.sincronizza = sync != kMissingNumber && sync != 0;
  // Read afresh too, and off unless it is a number: `--check` names a value
  // it cannot read.
  const std::string interval = readString("SIntervalRead");
  settings.sIntervalReadMs = IsMissing(interval) ? 0 : ParseIntervalRead(interval).value_or(0);
  return ok;
}

}  // namespace vr
