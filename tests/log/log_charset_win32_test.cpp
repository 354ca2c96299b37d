#include <gtest/gtest.h>

#include <string>

#include "base/clock.h"
#include "log/error_log.h"
#include "support/civil.h"
#include "support/non_ascii_dir_win32.h"

namespace vr {
namespace {

// The Windows program's log is ANSI (Windows-1252), like the original's.
TEST(LogCharset, TableTextsBecomeWindows1252) {
  EXPECT_EQ(ToLogCharset("Errore n\xC2\xB0 "), "Errore n\xB0 ");
  EXPECT_EQ(ToLogCharset("non \xC3\xA8 disponibile"), "non \xE8 disponibile");
  EXPECT_EQ(ToLogCharset(""), "");
}

// A log in a folder named outside the ANSI code page is written there, and
// every text of its lines (a path, a site code, the system's description)
// reaches it in Windows-1252, not as UTF-8 bytes.
TEST(LogCharset, LogInANonAsciiFolderHoldsItsTextsInWindows1252) {
  test::NonAsciiDir dir;
  ManualClock clock{ToSeconds(test::CivilAt(2006, 3, 1, 0, 0, 0))};
  ErrorLog log(clock, dir.Utf8File("vrec.log"));
  const std::string program = dir.Utf8File("VRECCFG.EXE");
  const struct {
    std::string utf8;      // what the program hands to the log
    std::string expected;  // the line's bytes after the time stamp
  } kCases[] = {
      {"Impossibile avviare " + program,
       "Impossibile avviare " + BytesFromWide(1252, dir.WideFile("VRECCFG.EXE"))},
      {"Travaso interrotto: non contiene pi\xC3\xB9 la copia",
       "Travaso interrotto: non contiene pi\xF9 la copia"},
  };
  std::string expected;
  for (const auto& c : kCases) {
    log.WriteDebug(c.utf8);
    expected += "Debug2006/03/01/00:00:00  " + c.expected + "\r\n";
  }
  // A site code with an accented letter is the line's prefix.
  log.WriteText("S\xC3\xA8" "de", "x");
  expected += "S\xE8" "de 2006/03/01/00:00:00  x\r\n";
  log.WriteSystemError(2, "0001");
  expected += "0001 2006/03/01/00:00:00  Errore n\xB0 2. " +
              ToLogCharset(SystemErrorDescription(2)) + "\r\n";

  ASSERT_TRUE(dir.Exists("vrec.log")) << dir.Utf8File("vrec.log");
  EXPECT_EQ(dir.Read("vrec.log"), expected);
  // The folder's own letter, in Windows-1252.
  EXPECT_NE(expected.find("Contabilit\xE0\\VRECCFG.EXE"), std::string::npos);
}

}  // namespace
}  // namespace vr
