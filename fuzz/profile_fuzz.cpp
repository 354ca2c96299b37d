// The profile (INI) rules on arbitrary file text. A plain line-by-line
// reading of the same rules must find the same value for every section and
// key of the text; writing a key must make it read back as written and leave
// every other key and section as it was; the file-based Profile must agree
// with the rules over text in memory.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/profile.h"
#include "fuzz_check.h"

namespace {

using vr::profile_text::FindValue;
using vr::profile_text::ParseInt;
using vr::profile_text::SectionNames;
using vr::profile_text::WithValue;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\''))
    return value.substr(1, value.size() - 2);
  return value;
}

struct Entry {
  std::size_t header;  // index of its section's header in Reading::sections
  std::string key;     // trimmed
  std::string value;   // trimmed, quotes removed
};

struct Reading {
  std::vector<std::string> sections;  // every header's name, trimmed, in order
  std::vector<Entry> entries;         // every key line under a header, in order
};

// Lines end at LF; a CR before it, or at the very end of the text, is not
// content. A UTF-8 byte order mark before the first line is skipped.
Reading ReadPlainly(std::string_view text) {
  Reading reading;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == ';') continue;
    if (trimmed[0] == '[') {
      const std::string_view inside = trimmed.substr(1);
      reading.sections.emplace_back(Trim(inside.substr(0, inside.find(']'))));
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || reading.sections.empty()) continue;
    reading.entries.push_back({reading.sections.size() - 1, std::string(Trim(line.substr(0, eq))),
                               std::string(Unquote(Trim(line.substr(eq + 1))))});
  }
  return reading;
}

// The first key of that name in the first section of that name.
std::optional<std::string> Lookup(const Reading& reading, std::string_view section,
                                  std::string_view key) {
  section = Trim(section);
  key = Trim(key);
  std::size_t header = 0;
  while (header < reading.sections.size() && !SameNoCase(reading.sections[header], section))
    ++header;
  if (header == reading.sections.size()) return std::nullopt;
  for (const Entry& entry : reading.entries)
    if (entry.header == header && SameNoCase(entry.key, key)) return entry.value;
  return std::nullopt;
}

std::optional<std::string> Find(std::string_view text, std::string_view section,
                                std::string_view key) {
  std::string value;
  if (!FindValue(text, section, key, &value)) return std::nullopt;
  return value;
}

// Blanks, a sign, then decimal digits; saturates at the int32 limits.
std::int32_t PlainParseInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  while (i < text.size() && text[i] == '0') ++i;
  std::size_t end = i;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end - i > 10)
    return negative ? std::numeric_limits<std::int32_t>::min()
                    : std::numeric_limits<std::int32_t>::max();
  std::int64_t magnitude = 0;
  for (; i < end; ++i) magnitude = magnitude * 10 + (text[i] - '0');
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  VR_FUZZ_CHECK(!out.fail());
}

// Bounds the work per input: the checks are quadratic in the keys, and
// every read of the file-based Profile reads the file again.
constexpr std::size_t kMaxEntriesChecked = 24;
constexpr std::size_t kMaxNamesWritten = 4;
constexpr std::size_t kMaxFileReads = 4;

// Writes one key and checks the result against the text before.
void CheckWrite(std::string_view text, const Reading& before, std::string_view section,
                std::string_view key, std::string_view value) {
  const std::string after = WithValue(text, section, key, value);
  const Reading reading = ReadPlainly(after);
  VR_FUZZ_CHECK(Find(after, section, key) == std::string(Unquote(Trim(value))));
  VR_FUZZ_CHECK(Lookup(reading, section, key) == std::string(Unquote(Trim(value))));

  // Every other key reads as before.
  for (std::size_t i = 0; i < before.entries.size() && i < kMaxEntriesChecked; ++i) {
    const Entry& entry = before.entries[i];
    const std::string& name = before.sections[entry.header];
    if (SameNoCase(name, Trim(section)) && SameNoCase(entry.key, Trim(key))) continue;
    VR_FUZZ_CHECK(Find(after, name, entry.key) == Find(text, name, entry.key));
  }

  // The sections stay, and a missing one is added at the end.
  std::vector<std::string> expected = SectionNames(text);
  bool present = false;
  for (const std::string& name : expected) present = present || SameNoCase(name, Trim(section));
  if (!present) expected.emplace_back(Trim(section));
  VR_FUZZ_CHECK(SectionNames(after) == expected);
  // Adding a section or a key at the end keeps the text before it.
  if (!present) VR_FUZZ_CHECK(after.compare(0, text.size(), text) == 0);
}

std::string g_path;  // the file the Profile checks use

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/vr-profile-fuzz-XXXXXX";
  VR_FUZZ_CHECK(::mkdtemp(dir) != nullptr);
  g_path = std::string(dir) + "/VESPREC.INI";
  static const std::string kDir = dir;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(kDir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Reading reading = ReadPlainly(text);

  // Reading: the rules over text agree with the plain reading.
  VR_FUZZ_CHECK(SectionNames(text) == reading.sections);
  for (std::size_t i = 0; i < reading.entries.size() && i < kMaxEntriesChecked; ++i) {
    const Entry& entry = reading.entries[i];
    const std::string& section = reading.sections[entry.header];
    VR_FUZZ_CHECK(Find(text, section, entry.key) == Lookup(reading, section, entry.key));
    VR_FUZZ_CHECK(ParseInt(entry.value) == PlainParseInt(entry.value));
  }
  VR_FUZZ_CHECK(!Find(text, "no such section\x01", "key").has_value());
  VR_FUZZ_CHECK(ParseInt(text) == PlainParseInt(text));

  // Writing: over a key that is there, a key new to its section, and a new
  // section.
  std::vector<std::string> keys;
  for (const Entry& entry : reading.entries) {
    if (keys.size() == kMaxNamesWritten) break;
    keys.push_back(entry.key);
  }
  keys.emplace_back("NewKey");
  for (std::size_t s = 0; s < reading.sections.size() && s < kMaxNamesWritten; ++s)
    for (const std::string& key : keys) CheckWrite(text, reading, reading.sections[s], key, "1");
  CheckWrite(text, reading, reading.sections.empty() ? "Site" : reading.sections[0], "NewKey",
             "  spaced value  ");
  CheckWrite(text, reading, " New Section ", "k", "\"quoted\"");
  CheckWrite(text, reading, "other", "", "");

  // The file-based Profile reads and writes as the rules over text do.
  WriteFile(g_path, text);
  vr::Profile profile(g_path);
  VR_FUZZ_CHECK(profile.SectionNames() == reading.sections);
  for (std::size_t i = 0; i < reading.entries.size() && i < kMaxFileReads; ++i) {
    const Entry& entry = reading.entries[i];
    const std::string& section = reading.sections[entry.header];
    const std::optional<std::string> value = Find(text, section, entry.key);
    for (const std::size_t maxChars : {std::size_t{258}, std::size_t{3}}) {
      std::string expected = value.value_or("default");
      if (expected.size() > maxChars) expected.resize(maxChars);
      VR_FUZZ_CHECK(profile.ReadString(section, entry.key, "default", maxChars) == expected);
    }
    const std::int32_t number = value && !value->empty() ? ParseInt(*value) : -7;
    VR_FUZZ_CHECK(profile.ReadInt(section, entry.key, -7) == number);
  }
  const std::string section = reading.sections.empty() ? "Site" : reading.sections.back();
  VR_FUZZ_CHECK(profile.WriteString(section, "Written", "yes"));
  VR_FUZZ_CHECK(ReadFile(g_path) == WithValue(text, section, "Written", "yes"));
  return 0;
}
