// The indexed profile reader against a plain one written from the rules:
// for each key asked, scan the file line by line, take the first section of
// that name (case ignored), the first key of that name in it, trim it and
// drop its quotes. Both read generated files full of the cases that matter:
// repeated sections and keys, letter case, blanks, quotes, comments, lines
// without "=", keys before any section, CR LF, LF, a final line without
// ending, a byte order mark, empty values.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "config/profile.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(std::string s) {
  while (!s.empty() && Blank(s.front())) s.erase(0, 1);
  while (!s.empty() && Blank(s.back())) s.pop_back();
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  while (at < text.size()) {
    std::size_t lf = text.find('\n', at);
    if (lf == std::string::npos) lf = text.size();
    std::string line = text.substr(at, lf - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = lf + 1;
  }
  return lines;
}

// The section name of a header line, or nothing.
std::optional<std::string> HeaderName(const std::string& line) {
  const std::string t = Trimmed(line);
  if (t.empty() || t[0] != '[') return std::nullopt;
  const std::size_t close = t.find(']');
  return Trimmed(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

std::optional<std::string> ReferenceValue(const std::string& text, const std::string& section,
                                          const std::string& key) {
  bool inSection = false;
  for (const std::string& line : Lines(text)) {
    const std::string t = Trimmed(line);
    if (t.empty() || t[0] == ';') continue;
    if (const auto name = HeaderName(line)) {
      if (inSection) return std::nullopt;  // the first section of the name has ended
      inSection = Lower(*name) == Lower(Trimmed(section));
      continue;
    }
    const std::size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos) continue;
    if (Lower(Trimmed(line.substr(0, eq))) != Lower(Trimmed(key))) continue;
    std::string value = Trimmed(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == '"' || value.front() == '\''))
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return std::nullopt;
}

std::vector<std::string> ReferenceSections(const std::string& text) {
  std::vector<std::string> names;
  for (const std::string& line : Lines(text)) {
    const std::string t = Trimmed(line);
    if (!t.empty() && t[0] != ';')
      if (const auto name = HeaderName(line)) names.push_back(*name);
  }
  return names;
}

std::int32_t ReferenceInt(const std::optional<std::string>& value, std::int32_t def) {
  if (!value || value->empty()) return def;
  std::size_t i = 0;
  while (i < value->size() && Blank((*value)[i])) ++i;
  bool negative = false;
  if (i < value->size() && ((*value)[i] == '-' || (*value)[i] == '+')) negative = (*value)[i++] == '-';
  std::int64_t n = 0;
  for (; i < value->size() && (*value)[i] >= '0' && (*value)[i] <= '9'; ++i)
    n = std::min<std::int64_t>(n * 10 + ((*value)[i] - '0'), std::int64_t{1} << 31);
  if (negative) return static_cast<std::int32_t>(-n);
  return static_cast<std::int32_t>(std::min<std::int64_t>(n, INT32_MAX));
}

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : random_(seed) {}

  std::string Pick(const std::vector<std::string>& from) {
    return from[Below(static_cast<std::uint32_t>(from.size()))];
  }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(random_() % n); }

  // A name as a person might spell it: case and blanks vary.
  std::string Spelled(const std::string& name) {
    std::string s = name;
    for (char& c : s) {
      if (Below(3) == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      else if (Below(3) == 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return Pick({"", " ", "\t"}) + s + Pick({"", " ", "  "});
  }

  std::string Value() {
    return Pick({"", " ", "9600", " -10 ", "+42x", "\"quoted\"", "'single'", "\"open", "a=b",
                 "XON ; comment", "99999999999", "-2147483649", "\"\"", "  spaced out  "});
  }

  std::string File() {
    const std::vector<std::string> sections = {"General", "0001", "0002", "Modem", "site x", ""};
    const std::vector<std::string> keys = {"Com", "Baud", "Dati", "ora", "Key With Blank", ""};
    std::string text = Below(8) == 0 ? "\xEF\xBB\xBF" : "";
    const std::string eol = Below(2) ? "\r\n" : "\n";
    const std::uint32_t lines = 1 + Below(60);
    for (std::uint32_t i = 0; i < lines; ++i) {
      switch (Below(10)) {
        case 0:
        case 1:
          text += Pick({"", " "}) + "[" + Spelled(Pick(sections)) + Pick({"]", "]", "", "] x"});
          break;
        case 2:
          text += Pick({";", " ;", "; [0001]", ";Com=commented"});
          break;
        case 3:
          text += Pick({"", "   ", "no equals sign", "\t"});
          break;
        default:
          text += Spelled(Pick(keys)) + "=" + Value();
      }
      text += Below(12) == 0 ? "\r\n" : eol;  // now and then the other ending
    }
    if (Below(3) == 0) text += Spelled(Pick(keys)) + "=" + Value();  // no final line end
    if (Below(6) == 0) text += "\r";
    return text;
  }

 private:
  std::mt19937 random_;
};

TEST(ProfileReferenceTest, IndexedReaderReadsAsThePlainRulesOnGeneratedFiles) {
  test::TempDir dir;
  const std::string path = dir.File("VESPREC.INI");
  const std::vector<std::string> sections = {"General", "GENERAL", " 0001 ", "0002", "Modem",
                                             "site x",  "",        "absent"};
  const std::vector<std::string> keys = {"Com", "BAUD", " dati ", "Ora", "key with blank", "",
                                         "absent"};
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    Generator generate(seed);
    const std::string text = generate.File();
    dir.Write("VESPREC.INI", text);
    const Profile file(path);
    const Profile snapshot = file.Snapshot();
    SCOPED_TRACE("seed " + std::to_string(seed) + ":\n" + text);
    ASSERT_EQ(file.SectionNames(), ReferenceSections(text));
    ASSERT_EQ(snapshot.SectionNames(), ReferenceSections(text));
    for (const std::string& section : sections) {
      for (const std::string& key : keys) {
        const std::optional<std::string> expected = ReferenceValue(text, section, key);
        const std::string expectedString = expected ? expected->substr(0, 258) : "*ZIOMIO*";
        ASSERT_EQ(snapshot.ReadString(section, key, "*ZIOMIO*"), expectedString)
            << "[" << section << "] " << key;
        ASSERT_EQ(file.ReadString(section, key, "*ZIOMIO*"), expectedString);
        ASSERT_EQ(snapshot.ReadInt(section, key, -10), ReferenceInt(expected, -10))
            << "[" << section << "] " << key;
      }
    }
  }
}

TEST(ProfileReferenceTest, ASnapshotKeepsItsReadingAndSeesItsOwnWrites) {
  test::TempDir dir;
  dir.Write("VESPREC.INI", "[A]\nx=1\n");
  Profile snapshot = Profile(dir.File("VESPREC.INI")).Snapshot();
  dir.Write("VESPREC.INI", "[A]\nx=2\ny=3\n");
  EXPECT_EQ(snapshot.ReadInt("A", "x", -10), 1);
  EXPECT_EQ(Profile(dir.File("VESPREC.INI")).ReadInt("A", "x", -10), 2);
  // A write goes into the file as it is now, and the snapshot then reads it.
  ASSERT_TRUE(snapshot.WriteString("A", "z", "4"));
  EXPECT_EQ(dir.Read("VESPREC.INI"), "[A]\nx=2\ny=3\nz=4\n");
  EXPECT_EQ(snapshot.ReadInt("A", "y", -10), 3);
  EXPECT_EQ(snapshot.ReadInt("A", "z", -10), 4);
}

}  // namespace
}  // namespace vr
