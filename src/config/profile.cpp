#include "config/profile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <system_error>
#include <utility>

#include "base/path.h"

namespace vr {
namespace profile_text {
namespace {

// A UTF-8 byte order mark, as Notepad writes it; it is not part of the first line.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\'')) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

enum class LineKind { kBlank, kComment, kSection, kKey, kOther };

// One line of the text: content is [begin, content_end), the line ending is
// [content_end, end). The ending is "\n", "\r\n", or at the end of the text
// "\r" or nothing.
struct Line {
  std::size_t begin = 0;
  std::size_t content_end = 0;
  std::size_t end = 0;
  LineKind kind = LineKind::kBlank;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed, quotes kept
};

Line Classify(std::string_view text, std::size_t begin, std::size_t content_end,
              std::size_t end) {
  Line line;
  line.begin = begin;
  line.content_end = content_end;
  line.end = end;
  const std::string_view content = text.substr(begin, content_end - begin);
  const std::string_view trimmed = Trim(content);
  if (trimmed.empty()) {
    line.kind = LineKind::kBlank;
  } else if (trimmed.front() == ';') {
    line.kind = LineKind::kComment;
  } else if (trimmed.front() == '[') {
    line.kind = LineKind::kSection;
    // Without a closing bracket the name runs to the end of the line.
    line.name = Trim(trimmed.substr(1, trimmed.find(']') - 1));
  } else if (const std::size_t eq = content.find('='); eq != std::string_view::npos) {
    line.kind = LineKind::kKey;
    line.name = Trim(content.substr(0, eq));
    line.value = Trim(content.substr(eq + 1));
  } else {
    line.kind = LineKind::kOther;
  }
  return line;
}

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t begin = text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
  while (begin < text.size()) {
    const std::size_t lf = text.find('\n', begin);
    std::size_t content_end;
    std::size_t end;
    if (lf != std::string_view::npos) {
      end = lf + 1;
      content_end = lf > begin && text[lf - 1] == '\r' ? lf - 1 : lf;
    } else {
      end = text.size();
      content_end = text.back() == '\r' ? end - 1 : end;
    }
    lines.push_back(Classify(text, begin, content_end, end));
    begin = end;
  }
  return lines;
}

// Where section and key are in the text: the first section with that name and
// the first key with that name inside it.
struct Location {
  std::optional<std::size_t> section;   // index of the header line
  std::optional<std::size_t> key;       // index of the key line
  std::optional<std::size_t> last_key;  // index of the section's last key line
};

Location Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  section = Trim(section);
  key = Trim(key);
  Location where;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    if (line.kind == LineKind::kSection) {
      if (where.section) break;  // the first matching section has ended
      if (EqualsNoCase(line.name, section)) where.section = i;
    } else if (where.section && line.kind == LineKind::kKey) {
      where.last_key = i;
      if (!where.key && EqualsNoCase(line.name, key)) where.key = i;
    }
  }
  return where;
}

// The ending for new lines: CR LF unless the first line of the text ends in LF alone.
std::string_view NewLineStyle(std::string_view text) {
  const std::size_t lf = text.find('\n');
  if (lf != std::string_view::npos && (lf == 0 || text[lf - 1] != '\r')) return "\n";
  return "\r\n";
}

// What has to follow a line so that text can start after it.
std::string_view MissingEnding(std::string_view text, const Line& line, std::string_view eol) {
  if (line.end > line.content_end) {
    return text[line.end - 1] == '\r' ? std::string_view("\n") : std::string_view();
  }
  return eol;
}

std::string LowerAscii(std::string_view s) {
  std::string lower(s);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

}  // namespace

Index::Index(std::string text) : text_(std::move(text)) {
  // Keys are filed under the section they follow; only the first section of
  // a name and the first key of a name in it can ever be found.
  Keys* current = nullptr;
  for (const Line& line : SplitLines(text_)) {
    if (line.kind == LineKind::kSection) {
      sectionNames_.emplace_back(line.name);
      const auto [it, inserted] = sections_.try_emplace(LowerAscii(line.name));
      current = inserted ? &it->second : nullptr;
    } else if (line.kind == LineKind::kKey && current != nullptr) {
      current->try_emplace(LowerAscii(line.name), line.value);
    }
  }
}

bool Index::FindValue(std::string_view section, std::string_view key, std::string* value) const {
  const auto s = sections_.find(LowerAscii(Trim(section)));
  if (s == sections_.end()) return false;
  const auto k = s->second.find(LowerAscii(Trim(key)));
  if (k == s->second.end()) return false;
  if (value != nullptr) value->assign(Unquote(k->second));
  return true;
}

bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string* value) {
  return Index(std::string(text)).FindValue(section, key, value);
}

std::vector<std::string> SectionNames(std::string_view text) {
  return Index(std::string(text)).SectionNames();
}

std::vector<Entry> Entries(std::string_view text) {
  std::vector<Entry> entries;
  std::size_t lineNumber = 0;
  for (const Line& line : SplitLines(text)) {
    ++lineNumber;
    if (line.kind == LineKind::kSection)
      entries.push_back({Entry::Kind::kSection, lineNumber, line.name, {}});
    else if (line.kind == LineKind::kKey)
      entries.push_back({Entry::Kind::kKey, lineNumber, line.name, line.value});
  }
  return entries;
}

std::string WithValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view value) {
  const std::vector<Line> lines = SplitLines(text);
  const Location where = Locate(lines, section, key);
  const std::string_view eol = NewLineStyle(text);
  std::string result;
  result.reserve(text.size() + section.size() + key.size() + value.size() + 8);

  if (where.key) {
    // Keep the key as spelled in the file, so the edit touches only its value.
    const Line& line = lines[*where.key];
    result.append(text.substr(0, line.begin));
    result.append(line.name).append("=").append(value);
    result.append(text.substr(line.content_end));
    return result;
  }

  key = Trim(key);
  if (where.section) {
    // After the last key, so blank lines and comments that precede the next
    // section stay where they are.
    const Line& after = lines[where.last_key ? *where.last_key : *where.section];
    result.append(text.substr(0, after.end));
    result.append(MissingEnding(text, after, eol));
    result.append(key).append("=").append(value).append(eol);
    result.append(text.substr(after.end));
    return result;
  }

  result.append(text);
  if (!lines.empty()) result.append(MissingEnding(text, lines.back(), eol));
  result.append("[").append(Trim(section)).append("]").append(eol);
  result.append(key).append("=").append(value).append(eol);
  return result;
}

std::int32_t ParseInt(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && IsBlank(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  // Accumulated as a magnitude in 64 bits and clamped at each digit, so any
  // number of digits saturates instead of overflowing.
  constexpr std::int64_t kMaxMagnitude = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (value[i] - '0');
    if (magnitude > kMaxMagnitude) magnitude = kMaxMagnitude;
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(magnitude, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace profile_text

namespace {

namespace fs = std::filesystem;

enum class ReadResult { kRead, kMissing, kFailed };

ReadResult ReadFileText(const fs::path& path, std::string* text) {
  text->clear();
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return ReadResult::kMissing;
  if (ec || status.type() != fs::file_type::regular) return ReadResult::kFailed;
  std::ifstream in(path, std::ios::binary);
  if (!in) return ReadResult::kFailed;
  char buffer[8192];
  while (in) {
    in.read(buffer, sizeof buffer);
    text->append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  return in.bad() ? ReadResult::kFailed : ReadResult::kRead;
}

// The text of the file, or empty when it is missing or unreadable (both read
// as "no such section or key").
std::string ReadOrEmpty(const std::string& path) {
  std::string text;
  if (ReadFileText(FileSystemPath(path), &text) != ReadResult::kRead) text.clear();
  return text;
}

// A name beside target that another writer of the same file will not pick.
fs::path TemporaryPathBeside(const fs::path& target) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device random;
  std::string suffix = ".";
  for (int i = 0; i < 2; ++i) {
    std::uint32_t bits = random();
    for (int digit = 0; digit < 8; ++digit, bits >>= 4) suffix.push_back(kHex[bits & 0xF]);
  }
  fs::path temporary = target;
  temporary += suffix + ".tmp";
  return temporary;
}

bool WriteWholeFile(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return !out.fail();
}

}  // namespace

Profile::Profile(std::string path) : path_(std::move(path)) {}
Profile::~Profile() = default;
Profile::Profile(const Profile&) = default;
Profile& Profile::operator=(const Profile&) = default;

Profile Profile::Snapshot() const {
  Profile snapshot(path_);
  snapshot.frozen_ = frozen_ ? frozen_ : std::make_shared<const profile_text::Index>(ReadOrEmpty(path_));
  return snapshot;
}

const std::string& Profile::SnapshotText() const {
  static const std::string kNone;
  return frozen_ ? frozen_->Text() : kNone;
}

std::string Profile::ReadString(std::string_view section, std::string_view key,
                                std::string_view def, std::size_t maxChars) const {
  if (!frozen_) return Snapshot().ReadString(section, key, def, maxChars);
  std::string value;
  if (!frozen_->FindValue(section, key, &value)) value.assign(def);
  // The caller's buffer limit applies to the default as well.
  if (value.size() > maxChars) value.resize(maxChars);
  return value;
}

std::int32_t Profile::ReadInt(std::string_view section, std::string_view key,
                              std::int32_t def) const {
  if (!frozen_) return Snapshot().ReadInt(section, key, def);
  std::string value;
  // As on Windows, an empty value counts as missing; other text without digits reads as 0.
  if (!frozen_->FindValue(section, key, &value) || value.empty()) return def;
  return profile_text::ParseInt(value);
}

std::vector<std::string> Profile::SectionNames() const {
  if (!frozen_) return Snapshot().SectionNames();
  return frozen_->SectionNames();
}

bool Profile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  const fs::path target = FileSystemPath(path_);
  std::string text;
  const ReadResult read = ReadFileText(target, &text);
  if (read == ReadResult::kFailed) return false;

  std::error_code ec;
  std::optional<fs::perms> permissions;
  if (read == ReadResult::kRead) {
    permissions = fs::status(target, ec).permissions();
    // A read-only configuration is left alone, as Windows does.
    if (ec || (*permissions & fs::perms::owner_write) == fs::perms::none) return false;
  }

  // Written beside the original and renamed over it, so that a crash leaves
  // either the old or the new file, never a half-written one.
  const fs::path temporary = TemporaryPathBeside(target);
  bool ok = WriteWholeFile(temporary, profile_text::WithValue(text, section, key, value));
  if (ok && permissions) fs::permissions(temporary, *permissions, ec);
  if (ok) {
    fs::rename(temporary, target, ec);
    ok = !ec;
  }
  if (!ok) fs::remove(temporary, ec);
  // A snapshot sees its own writes (and whatever else the file now holds).
  if (ok && frozen_) frozen_ = std::make_shared<const profile_text::Index>(ReadOrEmpty(path_));
  return ok;
}

}  // namespace vr
