#include "config/site_settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/path.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using Items = std::vector<CollectingReporter::Item>;
using Bytes = std::vector<std::uint8_t>;

// Every key of a site section, in the order the reader takes them.
const std::vector<std::pair<std::string, std::string>> kFullSection = {
    {"CharToDel", "000C"},   {"CRLFAlternativo", "7E"}, {"Dati", "D:\\IMPORT\\CHIAMATE.TXT"},
    {"Dati2", "/srv/dati2.txt"}, {"Storico", "STORICO.TXT"}, {"AggData", "1"},
    {"AggOra", "0"},         {"EliminaNull", "1"},      {"CorreggiCR", "1"},
    {"FlagCRLF", "13"},      {"Importazione", "3"},     {"STimeRead", "30"},
    {"STimeWrite", "5"},     {"MTimeRead", "600"},      {"MTimeWrite", "20"},
    {"FileTimeout", "60"},   {"SpazioTimeout", "50"},   {"NoStartStop", "0"},
    {"NoHeader", "0"},       {"Dispositivo", "com2"},   {"MetodoAlternativo", "1"},
};

std::string Section(const std::string& site, const std::string& without = "",
                    const std::vector<std::pair<std::string, std::string>>& overrides = {}) {
  std::string text = "[General]\r\nCom=COM1\r\nLog=x.log\r\n[" + site + "]\r\n";
  for (auto [key, value] : kFullSection) {
    if (key == without) continue;
    for (const auto& [k, v] : overrides)
      if (k == key) value = v;
    text += key + "=" + value + "\r\n";
  }
  return text;
}

class SiteSettingsTest : public ::testing::Test {
 protected:
  bool Read(const std::string& ini, const std::string& site = "0001") {
    const Profile profile(dir.Write("VESPREC.INI", ini));
    return ReadSiteSettings(profile, site, "/opt/vrec", settings, reporter);
  }

  test::TempDir dir;
  SiteSettings settings;
  CollectingReporter reporter;
};

TEST_F(SiteSettingsTest, ReadsEveryKeyWithItsScale) {
  ASSERT_TRUE(Read(Section("0001")));
  EXPECT_TRUE(reporter.items.empty());
  EXPECT_EQ(settings.charToDel, (Bytes{0x00, 0x0C}));
  EXPECT_EQ(settings.crlfAlternativo, 0x7E);
  EXPECT_EQ(settings.dati, "D:\\IMPORT\\CHIAMATE.TXT");
  EXPECT_EQ(settings.datiOverflow, JoinPath("/opt/vrec", "0001CHIAMATE_D.TXT"));
  EXPECT_EQ(settings.dati2Overflow, JoinPath("/opt/vrec", "0001dati2_B.TXT"));
  EXPECT_EQ(settings.storicoOverflow, JoinPath("/opt/vrec", "0001STORICO_S.TXT"));
  EXPECT_EQ(settings.aggData, 1u);
  EXPECT_EQ(settings.aggOra, 0u);
  EXPECT_EQ(settings.eliminaNull, 1u);
  EXPECT_EQ(settings.correggiCR, 1u);
  EXPECT_EQ(settings.flagCRLF, 13u);
  EXPECT_EQ(settings.importazione, 3u);
  EXPECT_EQ(settings.sTimeReadMs, 3000u);
  EXPECT_EQ(settings.sTimeWriteMs, 500u);
  EXPECT_EQ(settings.mTimeReadMs, 60000u);
  EXPECT_EQ(settings.mTimeWriteMs, 2000u);
  EXPECT_EQ(settings.fileTimeoutMs, 60000u);
  EXPECT_EQ(settings.spazioTimeoutMb, 50u);
  EXPECT_TRUE(settings.startStop);
  EXPECT_TRUE(settings.lineHeader);
  EXPECT_EQ(settings.deviceType, DeviceType::kCom);
  EXPECT_TRUE(settings.metodoAlternativo);
}

TEST_F(SiteSettingsTest, EachMissingRequiredKeyStopsTheReadingWithItsId) {
  const struct {
    const char* key;
    int id;
  } kCases[] = {
      {"Dati", 5029},        {"Dati2", 5030},        {"Storico", 5031},      {"AggData", 5032},
      {"AggOra", 5033},      {"EliminaNull", 5034},  {"CorreggiCR", 5035},   {"FlagCRLF", 5036},
      {"Importazione", 5037}, {"STimeRead", 5038},   {"STimeWrite", 5039},   {"MTimeRead", 5040},
      {"MTimeWrite", 5041},  {"FileTimeout", 5042},  {"SpazioTimeout", 5043}, {"Dispositivo", 5017},
  };
  for (const auto& c : kCases) {
    settings = SiteSettings{};
    settings.spazioTimeoutMb = 777;  // read last among the numbers
    reporter.items.clear();
    EXPECT_FALSE(Read(Section("0001", c.key))) << c.key;
    EXPECT_EQ(reporter.items, (Items{{c.id, "0001"}})) << c.key;
    // Keys before the missing one were stored, the ones after it not read.
    const bool aggDataRead = c.id > 5032 || c.id == 5017;
    EXPECT_EQ(settings.aggData, aggDataRead ? 1u : 0u) << c.key;
    EXPECT_EQ(settings.spazioTimeoutMb, c.id == 5017 ? 50u : 777u) << c.key;
    EXPECT_EQ(settings.deviceType, DeviceType::kNone) << c.key;
  }
}

TEST_F(SiteSettingsTest, MissingDatiLeavesAllPathsEmptyAndNumbersAsTheyWere) {
  ASSERT_TRUE(Read(Section("0001")));
  EXPECT_FALSE(Read(Section("0001", "Dati", {{"AggData", "0"}, {"STimeRead", "1"}})));
  EXPECT_EQ(reporter.items, (Items{{5029, "0001"}}));
  for (const std::string* path : {&settings.dati, &settings.datiOverflow, &settings.dati2,
                                  &settings.dati2Overflow, &settings.storico,
                                  &settings.storicoOverflow})
    EXPECT_TRUE(path->empty());
  EXPECT_EQ(settings.aggData, 1u);
  EXPECT_EQ(settings.sTimeReadMs, 3000u);
  // The optional keys before Dati are read again.
  EXPECT_EQ(settings.charToDel, (Bytes{0x00, 0x0C}));
}

TEST_F(SiteSettingsTest, NumberMinusTenCountsAsMissingAndTextAsZero) {
  EXPECT_FALSE(Read(Section("0001", "", {{"AggOra", "-10"}})));
  EXPECT_EQ(reporter.items, (Items{{5033, "0001"}}));
  reporter.items.clear();
  EXPECT_TRUE(Read(Section("0001", "", {{"AggData", "abc"}})));
  EXPECT_EQ(settings.aggData, 0u);
}

TEST_F(SiteSettingsTest, OptionalKeysWhenAbsent) {
  settings.crlfAlternativo = 0x21;
  settings.metodoAlternativo = true;
  settings.lineHeader = true;
  std::string ini = "[General]\n[S1]\nDati=a.txt\nDati2=b.txt\nStorico=c.txt\nAggData=0\n"
                    "AggOra=0\nEliminaNull=0\nCorreggiCR=0\nFlagCRLF=0\nImportazione=0\n"
                    "STimeRead=0\nSTimeWrite=0\nMTimeRead=0\nMTimeWrite=0\nFileTimeout=0\n"
                    "SpazioTimeout=0\nDispositivo=KSTB\n";
  settings.charToDel = {1, 2};
  ASSERT_TRUE(Read(ini, "S1"));
  EXPECT_TRUE(settings.charToDel.empty());
  EXPECT_EQ(settings.crlfAlternativo, 0x21);
  EXPECT_FALSE(settings.startStop);
  EXPECT_TRUE(settings.lineHeader);
  EXPECT_TRUE(settings.metodoAlternativo);
  EXPECT_EQ(settings.deviceType, DeviceType::kKstb);
}

TEST_F(SiteSettingsTest, NoStartStopAndNoHeader) {
  const struct {
    const char* noStartStop;
    bool startStop;
  } kCases[] = {{"0", true}, {"1", false}, {"2", false}, {"x", true}};
  for (const auto& c : kCases) {
    ASSERT_TRUE(Read(Section("0001", "", {{"NoStartStop", c.noStartStop}})));
    EXPECT_EQ(settings.startStop, c.startStop) << c.noStartStop;
  }
  // NoHeader = 1 turns the header off for the rest of the process.
  ASSERT_TRUE(Read(Section("0001", "", {{"NoHeader", "1"}})));
  EXPECT_FALSE(settings.lineHeader);
  ASSERT_TRUE(Read(Section("0001", "", {{"NoHeader", "0"}})));
  EXPECT_FALSE(settings.lineHeader);
}

TEST_F(SiteSettingsTest, SincronizzaIsOptionalAndReadAfreshEachTime) {
  const struct {
    const char* line;  // appended to the site's section; "" for none
    bool sincronizza;
  } kCases[] = {
      {"", false},
      {"Sincronizza=1\r\n", true},
      {"Sincronizza=0\r\n", false},
      {"Sincronizza=-10\r\n", false},  // -10 means missing, as for every number
      {"sincronizza = 2\r\n", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    settings.sincronizza = !c.sincronizza;  // what an earlier connection left
    reporter.items.clear();
    ASSERT_TRUE(Read(Section("0001") + c.line));
    EXPECT_TRUE(reporter.items.empty());  // absent is not a missing key
    EXPECT_EQ(settings.sincronizza, c.sincronizza);
  }
}

TEST_F(SiteSettingsTest, SIntervalReadIsOptionalMillisecondsReadAfreshEachTime) {
  const struct {
    const char* line;  // appended to the site's section; "" for none
    std::uint32_t intervalMs;
  } kCases[] = {
      {"", 0},
      {"SIntervalRead=20\r\n", 20},  // milliseconds, not tenths
      {"sintervalread = 250\r\n", 250},
      {"SIntervalRead=0\r\n", 0},
      // What cannot be read leaves the key off (and `--check` names it).
      {"SIntervalRead=-20\r\n", 0},
      {"SIntervalRead=20ms\r\n", 0},
      {"SIntervalRead=fast\r\n", 0},
      {"SIntervalRead=4294967296\r\n", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    settings.sIntervalReadMs = 77;  // what an earlier connection left
    reporter.items.clear();
    ASSERT_TRUE(Read(Section("0001") + c.line));
    EXPECT_TRUE(reporter.items.empty());  // never a missing key
    EXPECT_EQ(settings.sIntervalReadMs, c.intervalMs);
  }
}

TEST(ParseIntervalRead, DecimalDigitsWithin32BitsOnly) {
  const struct {
    const char* value;
    std::optional<std::uint32_t> ms;
  } kCases[] = {
      {"20", 20u},          {" 20\t", 20u},     {"0", 0u},           {"4294967295", 4294967295u},
      {"4294967296", {}},   {"-1", {}},         {"+20", {}},         {"20ms", {}},
      {"2 0", {}},          {"", {}},           {"  ", {}},          {"0x14", {}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ParseIntervalRead(c.value), c.ms) << c.value;
}

TEST(ReadIntervalOf, OnlyDirectTextLinesReadByTheReceptionGetTheInterval) {
  const struct {
    DeviceType device;
    std::int32_t modem;
    bool alternative;
    bool applies;
  } kCases[] = {
      {DeviceType::kCom, 0, false, true},     {DeviceType::kTcpip, 0, false, true},
      {DeviceType::kCom, 1, false, false},    {DeviceType::kCom, 2, false, false},
      {DeviceType::kTcpip, 1, false, false},  {DeviceType::kCom, 0, true, false},
      {DeviceType::kKsta, 0, false, false},   {DeviceType::kKstb, 0, false, false},
      {DeviceType::kKstc, 0, false, false},   {DeviceType::kKstd, 0, false, false},
      {DeviceType::kAvaya, 0, false, false},
  };
  for (const auto& c : kCases) {
    SiteSettings site;
    site.deviceType = c.device;
    site.metodoAlternativo = c.alternative;
    site.sIntervalReadMs = 20;
    EXPECT_EQ(ReadIntervalOf(site, c.modem), c.applies ? 20u : 0u)
        << static_cast<int>(c.device) << " modem " << c.modem << " alt " << c.alternative;
  }
}

TEST(DeviceTypeFromName, UpperCasedSubstringInTableOrder) {
  const struct {
    const char* value;
    DeviceType type;
  } kCases[] = {
      {"com2", DeviceType::kCom},    {"Buffer", DeviceType::kCom},   {"BUFF", DeviceType::kCom},
      {"ksta", DeviceType::kKsta},   {"KSTB", DeviceType::kKstb},    {"xKSTCx", DeviceType::kKstc},
      {"kstd", DeviceType::kKstd},   {"TcpIp", DeviceType::kTcpip},  {"Avaya", DeviceType::kAvaya},
      {"KSTD-COM", DeviceType::kCom}, {"LAN", DeviceType::kNone},    {"", DeviceType::kNone},
  };
  for (const auto& c : kCases) EXPECT_EQ(DeviceTypeFromName(c.value), c.type) << c.value;
}

TEST_F(SiteSettingsTest, UnknownDeviceIsReportedAsMissing) {
  EXPECT_FALSE(Read(Section("0001", "", {{"Dispositivo", "LAN"}})));
  EXPECT_EQ(reporter.items, (Items{{5017, "0001"}}));
}

TEST(ParseCharToDel, PairsOfCapitalHexDigits) {
  const struct {
    const char* value;
    Bytes bytes;
  } kCases[] = {
      {"000C", {0x00, 0x0C}}, {"000c", {}},  {"00C", {}},      {"0G0C", {}},
      {"", {}},               {"FF", {0xFF}}, {"0A0BZZ", {}},  {"7F1B0D", {0x7F, 0x1B, 0x0D}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ParseCharToDel(c.value), c.bytes) << c.value;
}

TEST(ParseCharToDel, KeepsAtMost127Bytes) {
  std::string value;
  for (int i = 0; i < 129; ++i) value += "41";
  value[2 * 128] = '4';
  value[2 * 128 + 1] = '2';
  const Bytes bytes = ParseCharToDel(value);
  EXPECT_EQ(bytes.size(), 127u);
  EXPECT_EQ(bytes.back(), 0x41);
  // A bad pair past the limit still empties the list.
  EXPECT_TRUE(ParseCharToDel(value + "zz").empty());
}

TEST(ParseCrlfAlternativo, FirstTwoCharactersOnly) {
  EXPECT_EQ(ParseCrlfAlternativo("7Ezz"), std::optional<std::uint8_t>(0x7E));
  EXPECT_EQ(ParseCrlfAlternativo("0D"), std::optional<std::uint8_t>(0x0D));
  EXPECT_EQ(ParseCrlfAlternativo("zz"), std::nullopt);
  EXPECT_EQ(ParseCrlfAlternativo("7e"), std::nullopt);
  EXPECT_EQ(ParseCrlfAlternativo("7"), std::nullopt);
}

TEST_F(SiteSettingsTest, BadCrlfAlternativoKeepsThePreviousByte) {
  settings.crlfAlternativo = 0x23;
  ASSERT_TRUE(Read(Section("0001", "", {{"CRLFAlternativo", "zz"}})));
  EXPECT_EQ(settings.crlfAlternativo, 0x23);
}

TEST(OverflowPath, SiteCodeDataNameAndSuffixInTheProgramDirectory) {
  const struct {
    const char* data;
    const char* suffix;
    const char* name;
  } kCases[] = {
      {"D:\\IMPORT\\CHIAMATE.TXT", "_D.TXT", "0001CHIAMATE_D.TXT"},
      {"STORICO.TXT", "_S.TXT", "0001STORICO_S.TXT"},
      {"/var/spool/import/calls.dat", "_B.TXT", "0001calls_B.TXT"},
      {"CHIAMATE", "_D.TXT", "0001CHIA_D.TXT"},
      // A name shorter than an extension never eats into the site code.
      {"AB", "_D.TXT", "0001_D.TXT"},
      {"C:\\DIR\\", "_D.TXT", "0001_D.TXT"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(OverflowPath("C:\\VREC", "0001", c.data, c.suffix), JoinPath("C:\\VREC", c.name))
        << c.data;
}

}  // namespace
}  // namespace vr
