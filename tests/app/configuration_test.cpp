#include "app/configuration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/civil_time.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using Items = std::vector<CollectingReporter::Item>;

constexpr const char* kSchedule = "Ogni=3600\r\nSitoAbilitato=1\r\nRicorrenza=0\r\nOra=x\r\n";

class LoadConfigurationTest : public ::testing::Test {
 protected:
  bool Load(const std::string& ini) {
    profile = std::make_unique<Profile>(dir.Write("VESPREC.INI", ini));
    return LoadConfiguration(*profile, config, reporter, clock, &flags);
  }
  std::vector<std::string> SiteNames() const {
    std::vector<std::string> names;
    for (const auto& s : config.sites) names.push_back(s.name);
    return names;
  }

  test::TempDir dir;
  std::unique_ptr<Profile> profile;
  Configuration config;
  CollectingReporter reporter;
  ManualClock clock{ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0})};
  ProcessFlags flags;
};

TEST_F(LoadConfigurationTest, UsableFileGivesSitesInFileOrder) {
  flags.reload = true;
  EXPECT_TRUE(Load(std::string("[General]\r\nCom=COM1\r\nLog=v.log\r\n[0002]\r\n") + kSchedule +
                   "[0001]\r\n" + kSchedule));
  EXPECT_EQ(SiteNames(), (std::vector<std::string>{"0002", "0001"}));
  EXPECT_EQ(config.sites.front().nextRun, clock.Now().seconds);  // continuous: due now
  EXPECT_TRUE(reporter.items.empty());
  EXPECT_FALSE(flags.reload);
}

TEST_F(LoadConfigurationTest, FirstSectionIsNeverASite) {
  EXPECT_TRUE(Load(std::string("[0009]\r\n") + kSchedule + "[General]\r\nCom=COM1\r\nLog=v\r\n" +
                   "[0001]\r\n" + kSchedule));
  EXPECT_EQ(SiteNames(), std::vector<std::string>{"0001"});
}

TEST_F(LoadConfigurationTest, GeneralWithoutSitesIsUnusable) {
  EXPECT_FALSE(Load("[General]\r\nCom=COM1\r\nLog=v.log\r\n"));
  EXPECT_TRUE(config.sites.empty());
  // The placeholder entry has no keys: four reports and the drop notice.
  EXPECT_EQ(reporter.items,
            (Items{{5047, ""}, {5048, ""}, {5049, ""}, {5050, ""}, {5010, ""}}));
  ASSERT_EQ(config.menu.size(), 1u);
  EXPECT_TRUE(config.menu[0].grayed);
}

TEST_F(LoadConfigurationTest, MissingFileIsUnusable) {
  profile = std::make_unique<Profile>(dir.File("absent.ini"));
  EXPECT_FALSE(LoadConfiguration(*profile, config, reporter, clock));
  ASSERT_GE(reporter.items.size(), 3u);
  EXPECT_EQ(reporter.items[0].id, 5044);
  EXPECT_EQ(reporter.items[1].id, 5045);
  EXPECT_EQ(reporter.items[2].id, 5046);
}

TEST_F(LoadConfigurationTest, ReloadRebuildsListAndMenuFromScratch) {
  const std::string general = "[General]\r\nCom=COM1\r\nLog=v.log\r\n";
  ASSERT_TRUE(Load(general + "[A]\r\n" + kSchedule + "[B]\r\n" + kSchedule));
  ASSERT_TRUE(Load(general + "[B]\r\n" + kSchedule));
  EXPECT_EQ(SiteNames(), std::vector<std::string>{"B"});
  ASSERT_EQ(config.menu.size(), 1u);
  EXPECT_EQ(config.menu[0].text, "B");
  EXPECT_EQ(config.menu[0].id, 40500);
}

TEST_F(LoadConfigurationTest, IncompleteGeneralSectionFailsEvenWithSites) {
  EXPECT_FALSE(Load(std::string("[General]\r\nCom=COM1\r\n[A]\r\n") + kSchedule));
  EXPECT_EQ(reporter.items, (Items{{5046, ""}}));
  EXPECT_EQ(SiteNames(), std::vector<std::string>{"A"});
}

}  // namespace
}  // namespace vr
