#include "log/error_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "base/civil_time.h"
#include "log/strings.h"
#include "support/temp_dir.h"
#include "support/civil.h"

namespace vr {
namespace {


TEST(LogPrefix, CutsOrPadsToFiveCharacters) {
  const struct {
    const char* text;
    const char* prefix;
  } kCases[] = {
      {"", "     "},
      {"0001", "0001 "},
      {"12345", "12345"},
      {"ABCDEFGH", "ABCDE"},
      {"\xC3\xA8\xC3\xA8", "\xC3\xA8\xC3\xA8   "},  // two characters of two bytes each
  };
  for (const auto& c : kCases) EXPECT_EQ(LogPrefix(c.text), c.prefix) << c.text;
}

TEST(FormatLogLine, PutsEveryFieldInItsColumns) {
  const std::string line = FormatLogLine("0001 ", test::CivilAt(2006, 3, 1, 0, 0, 0), "testo");
  EXPECT_EQ(line, "0001 2006/03/01/00:00:00  testo\r\n");
  // Columns 6-24 (1-based) hold the time stamp, 25-26 two blanks.
  EXPECT_EQ(line.substr(5, 19), "2006/03/01/00:00:00");
  EXPECT_EQ(line.substr(24, 2), "  ");
}

TEST(FormatLogLine, PadsEveryNumberToItsWidth) {
  EXPECT_EQ(FormatLogLine("Debug", test::CivilAt(1999, 12, 31, 23, 59, 58), ""),
            "Debug1999/12/31/23:59:58  \r\n");
  EXPECT_EQ(FormatLogLine("     ", test::CivilAt(2010, 1, 2, 3, 4, 5), "x"),
            "     2010/01/02/03:04:05  x\r\n");
}

class ErrorLogTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  ManualClock clock{ToSeconds(test::CivilAt(2006, 3, 1, 0, 0, 0))};
  ErrorLog log{clock, dir.File("vesprec.log")};
};

TEST_F(ErrorLogTest, MessageWithoutTextHasFiveBlanks) {
  log.WriteMessage(9001);
  // The log holds the text in the platform's log character set.
  EXPECT_EQ(dir.Read("vesprec.log"), "     2006/03/01/00:00:00  " +
                                         ToLogCharset("Il file dati non \xC3\xA8 disponibile.") +
                                         "\r\n");
}

TEST_F(ErrorLogTest, LinesAreAppendedInOrder) {
  log.WriteMessage(5012, "0001");
  clock.AdvanceMs(61'000);
  log.WriteDebug("fine");
  log.WriteMessage(5003);
  EXPECT_EQ(dir.Read("vesprec.log"),
            "0001 2006/03/01/00:00:00  Disconnessa porta COM.\r\n"
            "Debug2006/03/01/00:01:01  fine\r\n"
            "     2006/03/01/00:01:01  Chiusura di Vesper Recorder.\r\n\r\n");
}

TEST_F(ErrorLogTest, AppendsToWhatTheFileHeld) {
  dir.Write("vesprec.log", "earlier line\r\n");
  log.WriteMessage(5002);
  EXPECT_EQ(dir.Read("vesprec.log"),
            "earlier line\r\n     2006/03/01/00:00:00  Avvio Vesper Recorder.\r\n");
}

TEST_F(ErrorLogTest, SystemErrorLineCarriesCodeAndDescription) {
  log.WriteSystemError(2, "0001");
  const std::string description = SystemErrorDescription(2);
  ASSERT_FALSE(description.empty());
  EXPECT_NE(description.back(), '\n');
  EXPECT_EQ(dir.Read("vesprec.log"), "0001 2006/03/01/00:00:00  " +
                                         ToLogCharset("Errore n\xC2\xB0 2. " + description) +
                                         "\r\n");
}

TEST_F(ErrorLogTest, UnopenableLogLosesTheLineSilently) {
  ErrorLog lost(clock, dir.File("missing-dir/vesprec.log"));
  lost.WriteMessage(5002);
  lost.WriteDebug("x");
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing-dir")));
}

TEST_F(ErrorLogTest, ALogThatCannotBeWrittenIsSaidOncePerEpisode) {
  std::ostringstream said;
  LogFailureNotice notice(said, "vesprec");
  const std::string path = dir.File("later/vesprec.log");
  ErrorLog watched(clock, path, &notice);
  watched.WriteMessage(5002);
  watched.WriteDebug("x");
  const std::string once = said.str();
  EXPECT_EQ(once.rfind("vesprec: cannot write the error log " + path + " (", 0), 0u) << once;
  EXPECT_EQ(once.find('\n'), once.size() - 1) << once;

  // Written again, then lost again: a new episode is said again.
  std::filesystem::create_directory(dir.File("later"));
  watched.WriteDebug("back");
  EXPECT_EQ(said.str(), once);
  std::filesystem::remove_all(dir.File("later"));
  watched.WriteDebug("gone");
  EXPECT_EQ(said.str(), once + once);
}

TEST_F(ErrorLogTest, NoPathWritesNothing) {
  ErrorLog none(clock);
  none.WriteMessage(5002);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(SystemErrorText, IsPrefixCodeAndDescription) {
  const std::string description = SystemErrorDescription(13);
  // UTF-8, as every text of the program until the log writes it.
  const std::string expected =
      "Errore n\xC2\xB0 13" + (description.empty() ? "" : ". " + description);
  EXPECT_EQ(SystemErrorText(13), expected);
}

}  // namespace
}  // namespace vr
