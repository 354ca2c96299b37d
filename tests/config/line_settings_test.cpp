#include "config/line_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vr {
namespace {

using Items = std::vector<CollectingReporter::Item>;
using Keys = std::map<std::string, std::string>;

const Keys kDirectXon = {{"Modem", "0"},    {"Baud", "9600"},  {"BitDati", "8"},
                         {"Parita", "n"},   {"Stop", "1"},     {"Handshake", "Xon/Xoff"},
                         {"Xon", "17"},     {"Xoff", "19"},    {"TimeoutFineImp", "30"},
                         {"StringaModem", "ATX"}, {"NumeroTel", "0123"}};

class LineSettingsTest : public ::testing::Test {
 protected:
  LineSettingsResult Read(const Keys& keys, const std::vector<std::string>& without = {},
                          const Keys& overrides = {}) {
    std::string ini = "[General]\nCom=COM1\n[0001]\n";
    for (auto [key, value] : keys) {
      if (std::find(without.begin(), without.end(), key) != without.end()) continue;
      if (auto it = overrides.find(key); it != overrides.end()) value = it->second;
      ini += key + "=" + value + "\n";
    }
    for (const auto& [key, value] : overrides)
      if (!keys.count(key)) ini += key + "=" + value + "\n";
    reporter.items.clear();
    const Profile profile(dir.Write("VESPREC.INI", ini));
    return ReadLineSettings(profile, "0001", line, reporter);
  }

  test::TempDir dir;
  LineSettings line;
  CollectingReporter reporter;
};

TEST_F(LineSettingsTest, DirectLineReadsEveryKeyButTheModemOnes) {
  const auto r = Read(kDirectXon);
  EXPECT_EQ(r.result, 0);
  EXPECT_TRUE(r.baudRead);
  EXPECT_TRUE(reporter.items.empty());
  EXPECT_EQ(line.modem, 0);
  EXPECT_EQ(line.baud, 9600);
  EXPECT_EQ(line.dataBits, 8u);
  EXPECT_EQ(line.parity, 'N');
  EXPECT_EQ(line.stopBits, 1);
  EXPECT_EQ(line.handshake, Handshake::kXon);
  EXPECT_EQ(line.xonChar, 17);
  EXPECT_EQ(line.xoffChar, 19);
  EXPECT_EQ(line.endOfImportTimeoutMs, 30000u);
  EXPECT_TRUE(line.modemString.empty());
  EXPECT_TRUE(line.phoneNumber.empty());
}

TEST_F(LineSettingsTest, EachMissingKeyIsReportedAndReadingGoesOn) {
  const struct {
    const char* key;
    int id;
  } kCases[] = {{"Modem", 5018},  {"Baud", 5019},      {"BitDati", 5020},
                {"Parita", 5021}, {"Stop", 5022},      {"Handshake", 5023},
                {"Xon", 5024},    {"Xoff", 5025},      {"TimeoutFineImp", 5026}};
  for (const auto& c : kCases) {
    line = LineSettings{};
    const auto r = Read(kDirectXon, {c.key});
    EXPECT_EQ(r.result, 7006) << c.key;
    EXPECT_EQ(reporter.items, (Items{{c.id, "0001"}})) << c.key;
    // The last key is still read after any earlier fault.
    if (c.id != 5026) {
      EXPECT_EQ(line.endOfImportTimeoutMs, 30000u) << c.key;
    }
  }
}

TEST_F(LineSettingsTest, BaudTakesLeadingDigitsAndMustExceedOne) {
  const struct {
    const char* value;
    bool ok;
    int baud;
  } kCases[] = {{"9600bps", true, 9600}, {"19200", true, 19200}, {"2", true, 2},
                {"1", false, 0},         {"0", false, 0},        {"bps", false, 0},
                {"-9600", false, 0}};
  for (const auto& c : kCases) {
    line = LineSettings{};
    const auto r = Read(kDirectXon, {}, {{"Baud", c.value}});
    EXPECT_EQ(r.baudRead, c.ok) << c.value;
    EXPECT_EQ(line.baud, c.baud) << c.value;
    EXPECT_EQ(r.result, c.ok ? 0 : 7006) << c.value;
    if (!c.ok) {
      EXPECT_EQ(reporter.items, (Items{{5019, "0001"}})) << c.value;
    }
  }
}

TEST_F(LineSettingsTest, HandshakeIsSearchedForNoneXonHdwInThatOrder) {
  const struct {
    const char* value;
    Handshake handshake;
  } kCases[] = {{"none", Handshake::kNone},    {"xon/xoff", Handshake::kXon},
                {"HDWXON", Handshake::kXon},   {"hdw", Handshake::kHdw},
                {"XONNONE", Handshake::kNone}, {"Hardware HDW", Handshake::kHdw}};
  for (const auto& c : kCases) {
    Read(kDirectXon, {}, {{"Handshake", c.value}});
    EXPECT_EQ(line.handshake, c.handshake) << c.value;
  }
}

TEST_F(LineSettingsTest, UnknownHandshakeIsReportedAndKeepsThePreviousOne) {
  line.handshake = Handshake::kHdw;
  const auto r = Read(kDirectXon, {}, {{"Handshake", "RTS/CTS"}, {"HSAttivo", "1"}});
  EXPECT_EQ(r.result, 7006);
  EXPECT_EQ(reporter.items, (Items{{5023, "0001"}}));
  EXPECT_EQ(line.handshake, Handshake::kHdw);
  EXPECT_TRUE(line.hardwareHandshakeActive);
}

TEST_F(LineSettingsTest, XonKeysAreReadOnlyForAnXonHandshake) {
  Read(kDirectXon, {}, {{"Handshake", "NONE"}, {"Xon", "1"}, {"Xoff", "2"},
                        {"NoPinDiControllo", "1"}});
  EXPECT_EQ(line.xonChar, 0x11);
  EXPECT_EQ(line.xoffChar, 0x13);
  EXPECT_FALSE(line.noControlPins);
  // An XON site changes them, and a later site with another handshake keeps them.
  Read(kDirectXon, {}, {{"Xon", "1"}, {"Xoff", "2"}});
  Read(kDirectXon, {}, {{"Handshake", "HDW"}});
  EXPECT_EQ(line.xonChar, 1);
  EXPECT_EQ(line.xoffChar, 2);
}

TEST_F(LineSettingsTest, NoControlPinsOnlyForExactlyOne) {
  const struct {
    const char* value;
    bool pins;
  } kCases[] = {{"1", true}, {"yes", false}, {"01", false}, {"0", false}};
  for (const auto& c : kCases) {
    Read(kDirectXon, {}, {{"NoPinDiControllo", c.value}});
    EXPECT_EQ(line.noControlPins, c.pins) << c.value;
    EXPECT_TRUE(reporter.items.empty());
  }
  Read(kDirectXon, {}, {{"NoPinDiControllo", "1"}});
  Read(kDirectXon);  // absent: false again at the next read
  EXPECT_FALSE(line.noControlPins);
}

TEST_F(LineSettingsTest, HardwareHandshakeActiveOnlyForHdw) {
  Read(kDirectXon, {}, {{"Handshake", "HDW"}, {"HSAttivo", "1"}});
  EXPECT_TRUE(line.hardwareHandshakeActive);
  Read(kDirectXon, {}, {{"Handshake", "HDW"}});
  EXPECT_FALSE(line.hardwareHandshakeActive);
  Read(kDirectXon, {}, {{"HSAttivo", "1"}});
  EXPECT_FALSE(line.hardwareHandshakeActive);
  EXPECT_TRUE(reporter.items.empty());
}

TEST_F(LineSettingsTest, ModemSiteReadsStringAndNumber) {
  const auto r = Read(kDirectXon, {}, {{"Modem", "1"}});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(line.modem, 1);
  EXPECT_EQ(line.modemString, "ATX");
  EXPECT_EQ(line.phoneNumber, "0123");
}

TEST_F(LineSettingsTest, ModemSiteWithoutStringAndNumberGivesTwoReports) {
  const auto r = Read(kDirectXon, {"StringaModem", "NumeroTel"}, {{"Modem", "2"}});
  EXPECT_EQ(r.result, 7006);
  EXPECT_EQ(reporter.items, (Items{{5027, "0001"}, {5028, "0001"}}));
}

TEST_F(LineSettingsTest, OverlongModemTextsAreRefusedNotCut) {
  const std::string longNumber(100, '9');
  const auto r = Read(kDirectXon, {}, {{"Modem", "1"}, {"NumeroTel", longNumber}});
  EXPECT_EQ(r.result, 7006);
  EXPECT_EQ(reporter.items, (Items{{5028, "0001"}}));
  EXPECT_TRUE(line.phoneNumber.empty());
  const auto ok = Read(kDirectXon, {}, {{"Modem", "1"}, {"NumeroTel", std::string(99, '9')}});
  EXPECT_EQ(ok.result, 0);
  EXPECT_EQ(line.phoneNumber.size(), 99u);
}

TEST(CheckPortSettings, ParityLetterAndStopValue) {
  const struct {
    char parity;
    int stop;
    Items reports;
  } kCases[] = {
      {'E', 1, {}},
      {'N', 2, {}},
      {'O', 1, {}},
      {'X', 1, {{5021, "S"}}},
      {'\0', 1, {{5021, "S"}}},
      {'E', 3, {{5022, "S"}}},
      {'Z', 0, {{5021, "S"}, {5022, "S"}}},
  };
  for (const auto& c : kCases) {
    LineSettings line;
    line.parity = c.parity;
    line.stopBits = c.stop;
    CollectingReporter reporter;
    const int result = CheckPortSettings(line, "S", reporter);
    EXPECT_EQ(reporter.items, c.reports) << c.parity << c.stop;
    EXPECT_EQ(result, c.reports.empty() ? 0 : 7006);
  }
}

TEST_F(LineSettingsTest, ParityLetterIsUpperCased) {
  Read(kDirectXon, {}, {{"Parita", "even"}});
  EXPECT_EQ(line.parity, 'E');
}

}  // namespace
}  // namespace vr
