#include "config/profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace vr {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();

// A fresh directory per test, removed afterwards.
class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() /
           ("vr_profile_test_" + std::to_string(random()) + "_" + std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(dir_));
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    EXPECT_FALSE(out.fail()) << name;
    return PathOf(name);
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.is_open()) << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::vector<std::string> DirectoryEntries() const {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  fs::path dir_;
};

// ---------------------------------------------------------------- lookups

struct FindCase {
  const char* what;
  std::string text;
  const char* section;
  const char* key;
  bool found;
  const char* value;
};

TEST(ProfileTextTest, FindValueFollowsTheProfileRules) {
  const FindCase cases[] = {
      {"plain", "[A]\nk=v\n", "A", "k", true, "v"},
      {"section case", "[Linea]\nk=v\n", "LINEA", "k", true, "v"},
      {"key case", "[A]\nPorta=COM1\n", "a", "pORTA", true, "COM1"},
      {"non-ASCII bytes compared exactly", "[\xC3\xA8]\nk=v\n", "\xC3\x88", "k", false, ""},
      {"blanks and tabs around names and value", "[A]\n \t k \t=\t  v w \t\n", "A", "k", true,
       "v w"},
      {"blanks inside the brackets", "[  Sito 1\t]\nk=v\n", "Sito 1", "k", true, "v"},
      {"indented header", "  \t[A]\nk=v\n", "A", "k", true, "v"},
      {"text after the closing bracket", "[A] ; main\nk=v\n", "A", "k", true, "v"},
      {"blanks around the requested names", "[A]\nk=v\n", " A ", "\tk ", true, "v"},
      {"split at the first '='", "[A]\nk = a=b \n", "A", "k", true, "a=b"},
      {"empty value", "[A]\nk=\nz=1\n", "A", "k", true, ""},
      {"double quotes", "[A]\nk=\" a b \"\n", "A", "k", true, " a b "},
      {"single quotes", "[A]\nk='x'\n", "A", "k", true, "x"},
      {"quotes removed once", "[A]\nk=\"\"x\"\"\n", "A", "k", true, "\"x\""},
      {"empty quotes", "[A]\nk=\"\"\n", "A", "k", true, ""},
      {"mismatched quotes kept", "[A]\nk=\"x'\n", "A", "k", true, "\"x'"},
      {"one quote kept", "[A]\nk=\"\n", "A", "k", true, "\""},
      {"inner quotes kept", "[A]\nk=a\"b\"\n", "A", "k", true, "a\"b\""},
      {"quote only at the start kept", "[A]\nk=\"abc\n", "A", "k", true, "\"abc"},
      {"comment line", "[A]\n;k=v\n", "A", "k", false, ""},
      {"indented comment line", "[A]\n  ; k=v\nk=w\n", "A", "k", true, "w"},
      {"';' later in the line is part of the value", "[A]\nk=v ; no\n", "A", "k", true, "v ; no"},
      {"commented-out header is not a section", ";[B]\n[A]\nk=v\n", "B", "k", false, ""},
      {"key before any section", "k=v\n[A]\nx=1\n", "A", "k", false, ""},
      {"key before any section with empty section name", "k=v\n", "", "k", false, ""},
      {"line without '=' ignored", "[A]\nk\nk=v\n", "A", "k", true, "v"},
      {"key of the next section not seen", "[A]\nx=1\n[B]\nk=v\n", "A", "k", false, ""},
      {"missing section", "[A]\nk=v\n", "B", "k", false, ""},
      {"first of duplicate keys", "[A]\nk=1\nK=2\n", "A", "k", true, "1"},
      {"first of duplicate sections", "[A]\nk=1\n[a]\nk=2\n", "A", "k", true, "1"},
      {"key only in a later duplicate section", "[A]\nx=1\n[B]\n[A]\nk=2\n", "A", "k", false,
       ""},
      {"CR LF endings", "[A]\r\nk=v\r\nz=1\r\n", "A", "k", true, "v"},
      {"CR LF at the last line", "[A]\r\nk=v\r\n", "A", "k", true, "v"},
      {"no ending at the last line", "[A]\nk=v", "A", "k", true, "v"},
      {"lone CR at the end of the text", "[A]\nk=v\r", "A", "k", true, "v"},
      {"header with CR LF", "[A]\r\nk=v", "A", "k", true, "v"},
      {"UTF-8 byte order mark before the first header", "\xEF\xBB\xBF[A]\nk=v\n", "A", "k", true,
       "v"},
      {"empty text", "", "A", "k", false, ""},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string value = "untouched";
    EXPECT_EQ(profile_text::FindValue(c.text, c.section, c.key, &value), c.found);
    if (c.found) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(ProfileTextTest, FindValueAcceptsNoOutput) {
  EXPECT_TRUE(profile_text::FindValue("[A]\nk=v\n", "A", "k", nullptr));
  EXPECT_FALSE(profile_text::FindValue("[A]\nk=v\n", "A", "x", nullptr));
}

TEST_F(ProfileFileTest, ReadStringGivesTheDefaultOnlyWhenSomethingIsMissing) {
  const Profile profile(Write("p.ini", "[Generale]\r\nPorta = COM2\r\nLog=\r\n"));
  EXPECT_EQ(profile.ReadString("generale", "PORTA", "def"), "COM2");
  EXPECT_EQ(profile.ReadString("Generale", "Log", "def"), "");
  EXPECT_EQ(profile.ReadString("Generale", "Missing", "def"), "def");
  EXPECT_EQ(profile.ReadString("Other", "Porta", "def"), "def");
  EXPECT_EQ(Profile(PathOf("absent.ini")).ReadString("Generale", "Porta", "def"), "def");
}

TEST_F(ProfileFileTest, ReadStringCutsToMaxChars) {
  const Profile profile(Write("p.ini", "[A]\nk=abcdef\n"));
  const struct {
    std::size_t max_chars;
    const char* value;
    const char* def;
  } cases[] = {
      {0, "", ""}, {1, "a", "D"}, {5, "abcde", "DEFGH"}, {6, "abcdef", "DEFGHI"},
      {7, "abcdef", "DEFGHIJ"}, {258, "abcdef", "DEFGHIJ"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.max_chars);
    EXPECT_EQ(profile.ReadString("A", "k", "unused", c.max_chars), c.value);
    // The limit is a buffer size, so it cuts the default as well.
    EXPECT_EQ(profile.ReadString("A", "missing", "DEFGHIJ", c.max_chars), c.def);
  }
}

TEST_F(ProfileFileTest, ReadStringSeesEditsMadeBetweenCalls) {
  const Profile profile(Write("p.ini", "[A]\nk=1\n"));
  EXPECT_EQ(profile.ReadString("A", "k", "def"), "1");
  Write("p.ini", "[A]\nk=2\n");
  EXPECT_EQ(profile.ReadString("A", "k", "def"), "2");
}

// ---------------------------------------------------------------- integers

TEST(ProfileTextTest, ParseIntReadsSignAndLeadingDigits) {
  const struct {
    const char* text;
    std::int32_t expected;
  } cases[] = {
      {"", 0},
      {"0", 0},
      {"12", 12},
      {"007", 7},
      {"+7", 7},
      {"-10", -10},
      {"-0", 0},
      {"  42", 42},
      {"\t -3", -3},
      {"12abc", 12},
      {"1 2", 1},
      {"3.9", 3},
      {"0x1A", 0},
      {"abc", 0},
      {"-", 0},
      {"+", 0},
      {"+-5", 0},
      {"- 5", 0},
      {"2147483647", kInt32Max},
      {"2147483648", kInt32Max},
      {"99999999999999999999999", kInt32Max},
      {"-2147483647", -2147483647},
      {"-2147483648", kInt32Min},
      {"-2147483649", kInt32Min},
      {"-99999999999999999999999", kInt32Min},
      {"00000000000000000000000000000000012", 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(profile_text::ParseInt(c.text), c.expected);
  }
}

TEST_F(ProfileFileTest, ReadIntParsesTheValueOrGivesTheDefault) {
  const Profile profile(Write("p.ini",
                              "[A]\n"
                              "n = 42\n"
                              "neg=-10\n"
                              "partial=12abc\n"
                              "text=abc\n"
                              "quoted=\"15\"\n"
                              "empty=\n"
                              "blank=   \n"));
  EXPECT_EQ(profile.ReadInt("a", "N", -1), 42);
  EXPECT_EQ(profile.ReadInt("A", "neg", -1), -10);
  EXPECT_EQ(profile.ReadInt("A", "partial", -1), 12);
  EXPECT_EQ(profile.ReadInt("A", "text", -1), 0);
  EXPECT_EQ(profile.ReadInt("A", "quoted", -1), 15);
  // An empty value reads as missing, as GetPrivateProfileInt does.
  EXPECT_EQ(profile.ReadInt("A", "empty", -1), -1);
  EXPECT_EQ(profile.ReadInt("A", "blank", -1), -1);
  EXPECT_EQ(profile.ReadInt("A", "missing", -1), -1);
  EXPECT_EQ(profile.ReadInt("B", "n", 7), 7);
  EXPECT_EQ(Profile(PathOf("absent.ini")).ReadInt("A", "n", -10), -10);
}

// ---------------------------------------------------------------- section names

TEST(ProfileTextTest, SectionNamesInFileOrderWithDuplicates) {
  const std::string text =
      "top=1\n"
      "[Generale]\r\n"
      "k=[NotASection]\n"
      ";[Commented]\n"
      "  [ Sito B ]  ; second\n"
      "[SITO_A]\n"
      "[generale]\n"
      "[Last]";
  const std::vector<std::string> expected = {"Generale", "Sito B", "SITO_A", "generale", "Last"};
  EXPECT_EQ(profile_text::SectionNames(text), expected);
}

TEST(ProfileTextTest, SectionNamesOfTextWithoutSections) {
  EXPECT_TRUE(profile_text::SectionNames("").empty());
  EXPECT_TRUE(profile_text::SectionNames("k=v\n; [x]\n").empty());
}

TEST_F(ProfileFileTest, SectionNamesReadsTheFile) {
  EXPECT_TRUE(Profile(PathOf("absent.ini")).SectionNames().empty());
  const Profile profile(Write("p.ini", "[B]\r\nx=1\r\n\r\n[A]\r\n"));
  const std::vector<std::string> expected = {"B", "A"};
  EXPECT_EQ(profile.SectionNames(), expected);
}

// ---------------------------------------------------------------- writing

struct WithValueCase {
  const char* what;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

TEST(ProfileTextTest, WithValueChangesOnlyWhatItMust) {
  const WithValueCase cases[] = {
      // Replacing a key.
      {"replace in place, key spelled as in the file, other lines kept",
       "; head\r\n[Generale]\r\n  Porta = COM1  ; x\r\nLog=a.log\r\n\r\n[S]\r\nPorta=COM9\r\n",
       "GENERALE", "porta", "COM3",
       "; head\r\n[Generale]\r\nPorta=COM3\r\nLog=a.log\r\n\r\n[S]\r\nPorta=COM9\r\n"},
      {"replace keeps that line's own LF ending in a CR LF file", "[A]\r\nk=1\nz=2\r\n", "A", "k",
       "22", "[A]\r\nk=22\nz=2\r\n"},
      {"replace keeps that line's own CR LF ending in an LF file", "[A]\nk=1\r\nz=2\n", "A", "k",
       "22", "[A]\nk=22\r\nz=2\n"},
      {"replace the last line without an ending", "[A]\nk=1", "A", "k", "2", "[A]\nk=2"},
      {"replace only the first of duplicate keys", "[A]\nk=1\nk=2\n", "A", "K", "3",
       "[A]\nk=3\nk=2\n"},
      {"replace only in the first of duplicate sections", "[A]\nk=1\n[a]\nk=2\n", "a", "k", "3",
       "[A]\nk=3\n[a]\nk=2\n"},
      {"replace with an empty value", "[A]\nk=1\n", "A", "k", "", "[A]\nk=\n"},
      {"replace keeps a byte order mark", "\xEF\xBB\xBF[A]\r\nk=1\r\n", "A", "k", "2",
       "\xEF\xBB\xBF[A]\r\nk=2\r\n"},
      // Adding a key to an existing section.
      {"add after the last key, before the blank line and the next section",
       "[A]\nx=1\ny=2\n\n[B]\nz=3\n", "a", "New", "v", "[A]\nx=1\ny=2\nNew=v\n\n[B]\nz=3\n"},
      {"add before a comment that follows the last key", "[A]\r\nx=1\r\n; about B\r\n[B]\r\n",
       "A", "k", "v", "[A]\r\nx=1\r\nk=v\r\n; about B\r\n[B]\r\n"},
      {"add after a key even when a stray line follows it", "[A]\nx=1\nstray\n\n[B]\n", "A", "k",
       "v", "[A]\nx=1\nk=v\nstray\n\n[B]\n"},
      {"add right after the header of a section without keys", "[A]\n\n; note\n[B]\nk=1\n", "A",
       "k", "v", "[A]\nk=v\n\n; note\n[B]\nk=1\n"},
      {"add to the first of duplicate sections", "[A]\nx=1\n[B]\n[A]\nk=old\n", "A", "k", "v",
       "[A]\nx=1\nk=v\n[B]\n[A]\nk=old\n"},
      {"add after a last key line that has no ending", "[A]\nx=1", "A", "k", "v",
       "[A]\nx=1\nk=v\n"},
      {"add after a last key line ending in a lone CR", "[A]\r\nx=1\r", "A", "k", "v",
       "[A]\r\nx=1\r\nk=v\r\n"},
      {"add after a header that has no ending", "[A]", "A", "k", "v", "[A]\r\nk=v\r\n"},
      {"a comment is not a key to replace", "[A]\n;k=1\n", "A", "k", "2", "[A]\nk=2\n;k=1\n"},
      // Adding a section.
      {"new section in an LF file without a trailing newline", "[A]\nx=1", "B", "k", "v",
       "[A]\nx=1\n[B]\nk=v\n"},
      {"new section in a CR LF file", "[A]\r\nx=1\r\n\r\n", "B", "k", "v",
       "[A]\r\nx=1\r\n\r\n[B]\r\nk=v\r\n"},
      {"new section in a CR LF file without a trailing newline", "[A]\r\nx=1", "B", "k", "v",
       "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
      {"new section after a lone CR at the end", "[A]\r\nx=1\r", "B", "k", "v",
       "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
      {"new section in empty text uses CR LF", "", "Generale", "Porta", "COM1",
       "[Generale]\r\nPorta=COM1\r\n"},
      {"new section in a one-line text uses CR LF", "; only", "A", "k", "v",
       "; only\r\n[A]\r\nk=v\r\n"},
      {"a key before any section does not count", "k=1\n", "A", "k", "2", "k=1\n[A]\nk=2\n"},
      {"requested names are trimmed", "[A]\n", " B\t", " k ", "v", "[A]\n[B]\nk=v\n"},
  };
  for (const WithValueCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(profile_text::WithValue(c.before, c.section, c.key, c.value), c.after);
  }
}

TEST(ProfileTextTest, WithValueResultReadsBack) {
  std::string text = "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n";
  text = profile_text::WithValue(text, "A", "x", "one");
  text = profile_text::WithValue(text, "B", "new", "\"quoted\"");
  text = profile_text::WithValue(text, "C", "z", "3");
  std::string value;
  ASSERT_TRUE(profile_text::FindValue(text, "a", "X", &value));
  EXPECT_EQ(value, "one");
  ASSERT_TRUE(profile_text::FindValue(text, "B", "y", &value));
  EXPECT_EQ(value, "2");
  ASSERT_TRUE(profile_text::FindValue(text, "B", "new", &value));
  EXPECT_EQ(value, "quoted");
  ASSERT_TRUE(profile_text::FindValue(text, "C", "z", &value));
  EXPECT_EQ(value, "3");
  const std::vector<std::string> expected = {"A", "B", "C"};
  EXPECT_EQ(profile_text::SectionNames(text), expected);
}

TEST_F(ProfileFileTest, WriteStringReplacesInPlaceKeepingEveryOtherByte) {
  const std::string before =
      "; Vesper\r\n"
      "[Generale]\r\n"
      "Porta=COM1\r\n"
      "Log = C:\\log.txt\r\n"
      "\r\n"
      "[0001]\r\n"
      "Ogni=60\r\n";
  const std::string path = Write("VESPREC.INI", before);
  ASSERT_TRUE(Profile(path).WriteString("generale", "LOG", "D:\\x.log"));
  EXPECT_EQ(Read(path),
            "; Vesper\r\n"
            "[Generale]\r\n"
            "Porta=COM1\r\n"
            "Log=D:\\x.log\r\n"
            "\r\n"
            "[0001]\r\n"
            "Ogni=60\r\n");
  // Nothing but the configuration is left in the directory.
  EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"VESPREC.INI"});
}

TEST_F(ProfileFileTest, WriteStringAddsKeysAndSections) {
  const std::string path = Write("p.ini", "[A]\nx=1\n\n[B]\ny=2");
  Profile profile(path);
  ASSERT_TRUE(profile.WriteString("A", "k", "v"));
  ASSERT_TRUE(profile.WriteString("C", "z", "3"));
  EXPECT_EQ(Read(path), "[A]\nx=1\nk=v\n\n[B]\ny=2\n[C]\nz=3\n");
  EXPECT_EQ(profile.ReadString("A", "k", "def"), "v");
  EXPECT_EQ(profile.ReadInt("C", "z", -1), 3);
}

TEST_F(ProfileFileTest, WriteStringCreatesAMissingFile) {
  const std::string path = PathOf("new.ini");
  Profile profile(path);
  ASSERT_TRUE(profile.WriteString("Generale", "Porta", "COM1"));
  ASSERT_TRUE(profile.WriteString("Generale", "Log", ""));
  EXPECT_EQ(Read(path), "[Generale]\r\nPorta=COM1\r\nLog=\r\n");
  EXPECT_EQ(profile.ReadString("Generale", "Log", "def"), "");
}

TEST_F(ProfileFileTest, WriteStringFailsWithoutTouchingAnything) {
  // The directory of the file does not exist.
  const std::string in_missing_dir = (dir_ / "no_such_dir" / "p.ini").string();
  EXPECT_FALSE(Profile(in_missing_dir).WriteString("A", "k", "v"));
  EXPECT_FALSE(fs::exists(dir_ / "no_such_dir"));

  // The path names a directory.
  fs::create_directory(dir_ / "folder.ini");
  EXPECT_FALSE(Profile(PathOf("folder.ini")).WriteString("A", "k", "v"));
  EXPECT_TRUE(fs::is_directory(dir_ / "folder.ini"));
  EXPECT_TRUE(fs::is_empty(dir_ / "folder.ini"));

  // The file is read-only.
  const std::string read_only = Write("ro.ini", "[A]\nk=1\n");
  const fs::perms writable = fs::perms::owner_write | fs::perms::group_write |
                             fs::perms::others_write;
  fs::permissions(read_only, writable, fs::perm_options::remove);
  EXPECT_FALSE(Profile(read_only).WriteString("A", "k", "2"));
  fs::permissions(read_only, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(Read(read_only), "[A]\nk=1\n");

  std::vector<std::string> entries = DirectoryEntries();
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"folder.ini", "ro.ini"}));
}

}  // namespace
}  // namespace vr
