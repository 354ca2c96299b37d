// The machine-readable status: the JSON text (every string escaped, always
// valid JSON), the sizes of each site's overflow and rescue files, and how
// the worker's counts meet the sites of the menu.

#include "app/status_report.h"

#include <gtest/gtest.h>

#include <string>

#include "base/civil_time.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

std::string Json(std::string_view text) {
  std::string out;
  AppendJsonString(out, text);
  return out;
}

struct EscapeCase {
  const char* name;
  std::string text;
  std::string json;
};

TEST(StatusJsonTest, StringsAreEscapedIntoValidJson) {
  const EscapeCase cases[] = {
      {"plain", "/dev/ttyS0", R"("/dev/ttyS0")"},
      {"quote and backslash", R"(a"b\c)", R"("a\"b\\c")"},
      {"line ends and tab", "a\r\nb\tc", R"("a\r\nb\tc")"},
      {"other control bytes", std::string("\x01\x1f\x7f", 3), R"("\u0001\u001f\u007f")"},
      {"NUL", std::string("a\0b", 3), R"("a\u0000b")"},
      {"valid UTF-8 stays", "Linee ricevute è €", "\"Linee ricevute è €\""},
      {"four-byte UTF-8 stays", "\xF0\x9F\x93\x9E", "\"\xF0\x9F\x93\x9E\""},
      {"a Latin-1 byte", "caff\xE8", R"("caff\u00e8")"},
      {"sequence cut at the end", "a\xC3", R"("a\u00c3")"},
      {"sequence cut by ASCII", "\xE2\x82x", R"("\u00e2\u0082x")"},
      {"overlong slash", "\xC0\xAF", R"("\u00c0\u00af")"},
      {"overlong three bytes", "\xE0\x80\xAF", R"("\u00e0\u0080\u00af")"},
      {"surrogate", "\xED\xA0\x80", R"("\u00ed\u00a0\u0080")"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},
      {"empty", "", R"("")"},
  };
  for (const EscapeCase& c : cases) EXPECT_EQ(Json(c.text), c.json) << c.name;
}

TEST(StatusJsonTest, LocalTimeIsIsoWithoutZone) {
  EXPECT_EQ(LocalTimeText(ToSeconds(CivilTime{2026, 3, 9, 7, 5, 4, 0})), "2026-03-09T07:05:04");
  EXPECT_EQ(LocalTimeText(ToSeconds(CivilTime{1999, 12, 31, 23, 59, 59, 0})),
            "1999-12-31T23:59:59");
}

TEST(StatusJsonTest, WholeReport) {
  StatusReport report{
      .port = "/dev/ttyS7",
      .pid = 4242,
      .site = "00\"2",
      .state = "held",
      .lines = 1234,
      .icon = "held",
      .title = "Vesper Recorder /dev/ttyS7  00\"2  1234 Linee ricevute",
      .warnings = {7004, 7005},
      .sites = {},
  };
  report.sites.push_back(
      {{.code = "0001", .inSchedule = true, .overflowBytes = 0, .rescueBytes = 0,
        .intervalReadMs = 20},
       {}});
  report.sites.push_back(
      {{.code = "00\"2", .inSchedule = false, .overflowBytes = 300, .rescueBytes = 17},
       {.records = 12, .bytes = 480,
        .lastRecordSeconds = ToSeconds(CivilTime{2026, 1, 2, 3, 4, 5, 0})}});
  EXPECT_EQ(StatusJson(report),
            R"({"port":"/dev/ttyS7","pid":4242,"site":"00\"2","state":"held","lines":1234,)"
            R"("icon":"held","title":"Vesper Recorder /dev/ttyS7  00\"2  1234 Linee ricevute",)"
            R"("warnings":[7004,7005],"sites":[)"
            R"({"code":"0001","in_schedule":true,"last_record":null,"records":0,"bytes":0,)"
            R"("overflow_bytes":0,"rescue_bytes":0,"interval_read_ms":20},)"
            R"({"code":"00\"2","in_schedule":false,"last_record":"2026-01-02T03:04:05",)"
            R"("records":12,"bytes":480,"overflow_bytes":300,"rescue_bytes":17,)"
            R"("interval_read_ms":0}]})");
}

TEST(StatusJsonTest, IdleRunWithoutSitesOrWarnings) {
  StatusReport report;
  report.port = "/dev/ttyUSB0";
  report.pid = 1;
  report.state = "idle";
  report.icon = "idle";
  EXPECT_EQ(StatusJson(report),
            R"({"port":"/dev/ttyUSB0","pid":1,"site":null,"state":"idle","lines":0,)"
            R"("icon":"idle","title":"","warnings":[],"sites":[]})");
}

TEST(SiteFilesTest, OverflowAndRescueFilesOfTheThreeSetsAreSummedPerSite) {
  test::TempDir dir;
  dir.Write("VESPREC.INI",
            "[General]\r\nCom=/dev/ttyS0\r\n"
            "[0001]\r\nDati=/srv/in/dati.txt\r\nDati2=/srv/in/dati2.txt\r\n"
            "Storico=/srv/in/storico.txt\r\n"
            // Dati2 missing: its files are not looked for.
            "[0002]\r\nDati=/srv/in/other.txt\r\nStorico=/srv/in/hist.txt\r\n"
            "[0003]\r\nDati=/srv/in/none.txt\r\n");
  dir.Write("0001dati_D.TXT", std::string(100, 'a'));
  dir.Write("0001dati2_B.TXT", std::string(20, 'b'));
  dir.Write("0001storico_S_R.TXT", std::string(3, 'c'));
  dir.Write("0001dati_D_R.TXT", std::string(40, 'd'));
  dir.Write("0002other_D.TXT", std::string(5, 'e'));
  dir.Write("0002hist_S_R.TXT", std::string(7, 'f'));
  dir.Write("0002other2_B.TXT", std::string(1000, 'g'));  // no key names it

  const SitesMenu menu = {{40500, "0001", false}, {40501, "0002", true}, {40502, "0003", false}};
  NativeFileSystem files;
  const std::vector<SiteFileBytes> measured =
      MeasureSiteFiles(Profile(dir.File("VESPREC.INI")), menu, dir.Path(), files);
  ASSERT_EQ(measured.size(), 3u);
  EXPECT_EQ(measured[0].code, "0001");
  EXPECT_TRUE(measured[0].inSchedule);
  EXPECT_EQ(measured[0].overflowBytes, 120u);
  EXPECT_EQ(measured[0].rescueBytes, 43u);
  EXPECT_EQ(measured[1].code, "0002");
  EXPECT_FALSE(measured[1].inSchedule);
  EXPECT_EQ(measured[1].overflowBytes, 5u);
  EXPECT_EQ(measured[1].rescueBytes, 7u);
  EXPECT_EQ(measured[2].overflowBytes, 0u);
  EXPECT_EQ(measured[2].rescueBytes, 0u);
}

TEST(SiteFilesTest, EachSiteShowsTheIntervalTimeOutItsReadsGet) {
  struct Case {
    const char* keys;
    std::uint32_t intervalMs;
  };
  const Case cases[] = {
      {"Dispositivo=COM\r\nModem=0\r\nSIntervalRead=20\r\n", 20},
      {"Dispositivo=BUFFER\r\nModem=0\r\nSIntervalRead=35\r\n", 35},
      {"Dispositivo=TCPIP\r\nModem=0\r\nSIntervalRead=5\r\n", 5},
      {"Dispositivo=COM\r\nModem=0\r\n", 0},
      {"Dispositivo=COM\r\nModem=0\r\nSIntervalRead=-20\r\n", 0},
      {"Dispositivo=COM\r\nModem=0\r\nSIntervalRead=20ms\r\n", 0},
      // The modem and the box protocols keep their reads.
      {"Dispositivo=COM\r\nModem=1\r\nSIntervalRead=20\r\n", 0},
      {"Dispositivo=KSTD\r\nModem=0\r\nSIntervalRead=20\r\n", 0},
      {"Dispositivo=COM\r\nModem=0\r\nMetodoAlternativo=1\r\nSIntervalRead=20\r\n", 0},
  };
  std::string ini = "[General]\r\nCom=/dev/ttyS0\r\n";
  SitesMenu menu;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string code = "000" + std::to_string(i + 1);
    ini += "[" + code + "]\r\n" + cases[i].keys;
    menu.push_back({40500 + static_cast<int>(i), code, false});
  }
  test::TempDir dir;
  dir.Write("VESPREC.INI", ini);
  NativeFileSystem files;
  const std::vector<SiteFileBytes> measured =
      MeasureSiteFiles(Profile(dir.File("VESPREC.INI")), menu, dir.Path(), files);
  ASSERT_EQ(measured.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(measured[i].intervalReadMs, cases[i].intervalMs) << cases[i].keys;
}

TEST(SiteFilesTest, CountsMeetTheMenuAndADroppedSiteStaysListed) {
  std::vector<SiteFileBytes> files = {{"0001", true, 9, 0}, {"0002", true, 0, 0}};
  const std::map<std::string, SiteActivity> activity = {
      {"0002", {.records = 3, .bytes = 90, .lastRecordSeconds = 77}},
      {"0009", {.records = 1, .bytes = 30, .lastRecordSeconds = 55}},  // gone by a reload
  };
  const std::vector<SiteReport> reports = MergeSiteReports(files, activity);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].files.code, "0001");
  EXPECT_EQ(reports[0].files.overflowBytes, 9u);
  EXPECT_EQ(reports[0].activity.records, 0u);
  EXPECT_LT(reports[0].activity.lastRecordSeconds, 0);
  EXPECT_EQ(reports[1].files.code, "0002");
  EXPECT_EQ(reports[1].activity.records, 3u);
  EXPECT_EQ(reports[2].files.code, "0009");
  EXPECT_FALSE(reports[2].files.inSchedule);
  EXPECT_EQ(reports[2].activity.bytes, 30u);
}

TEST(StatusBoardTest, StoredChunksAddUpAndOnlyRecordsMoveTheLastRecordTime) {
  StatusBoard board;
  board.NoteStored("0001", 2, 60, 1000);
  board.NoteStored("0001", 0, 5, 1010);  // part of a line: no record ended
  board.NoteStored("0002", 1, 30, 1020);
  const auto activity = board.Activity();
  EXPECT_EQ(activity.at("0001").records, 2u);
  EXPECT_EQ(activity.at("0001").bytes, 65u);
  EXPECT_EQ(activity.at("0001").lastRecordSeconds, 1000);
  EXPECT_EQ(activity.at("0002").lastRecordSeconds, 1020);
}

}  // namespace
}  // namespace vr
