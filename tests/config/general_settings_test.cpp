#include "config/general_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/strings.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using Items = std::vector<CollectingReporter::Item>;

std::vector<std::string> Names(const SiteList& sites) {
  std::vector<std::string> names;
  for (const auto& s : sites) names.push_back(s.name);
  return names;
}

class GeneralSettingsTest : public ::testing::Test {
 protected:
  bool Read(const std::string& ini) {
    const Profile profile(dir.Write("VESPREC.INI", ini));
    sites.clear();
    sites.emplace_back();
    menu.clear();
    return ReadGeneralSettings(profile, general, sites, menu, reporter);
  }

  test::TempDir dir;
  GeneralSettings general;
  SiteList sites;
  SitesMenu menu;
  CollectingReporter reporter;
};

TEST_F(GeneralSettingsTest, ReadsComLogAndSites) {
  EXPECT_TRUE(Read("[General]\r\nCom=COM1\r\nLog=C:\\VREC\\VREC.LOG\r\nNoVisible=2\r\n"
                   "[0001]\r\nOgni=1\r\n[Modem]\r\n[0002]\r\n"));
  EXPECT_EQ(general.com, "COM1");
  EXPECT_EQ(general.log, "C:\\VREC\\VREC.LOG");
  EXPECT_EQ(general.noVisible, 2);
  EXPECT_EQ(general.windowTitle, "Vesper Recorder COM1");
  EXPECT_EQ(Names(sites), (std::vector<std::string>{"0001", "0002"}));
  ASSERT_EQ(menu.size(), 2u);
  EXPECT_EQ(menu[0].id, 40500);
  EXPECT_EQ(menu[0].text, "0001");
  EXPECT_EQ(menu[1].id, 40501);
  EXPECT_EQ(menu[1].text, "0002");
  EXPECT_TRUE(reporter.items.empty());
}

TEST_F(GeneralSettingsTest, MissingFileReportsSectionsComAndLog) {
  const Profile profile(dir.File("absent.ini"));
  sites.emplace_back();
  EXPECT_FALSE(ReadGeneralSettings(profile, general, sites, menu, reporter));
  EXPECT_EQ(reporter.items, (Items{{5044, ""}, {5045, ""}, {5046, ""}}));
  EXPECT_EQ(Names(sites), std::vector<std::string>{""});
  EXPECT_TRUE(menu.empty());
}

TEST_F(GeneralSettingsTest, ComContainingTheSentinelIsMissing) {
  general.com = "COM7";
  EXPECT_FALSE(Read("[General]\nCom=x*ZIOMIO*y\nLog=l.log\n[0001]\n"));
  EXPECT_EQ(reporter.items, (Items{{5045, ""}}));
  EXPECT_EQ(general.com, "COM7");  // a missing key leaves the field as it was
  EXPECT_EQ(general.windowTitle, "Vesper Recorder COM7");
}

TEST_F(GeneralSettingsTest, MissingLogIsReported) {
  EXPECT_FALSE(Read("[General]\nCom=COM2\n[0001]\n"));
  EXPECT_EQ(reporter.items, (Items{{5046, ""}}));
  EXPECT_EQ(general.com, "COM2");
}

TEST_F(GeneralSettingsTest, NoVisibleTakesOnlyExactlyOneOrTwo) {
  const struct {
    const char* value;
    int before;
    int after;
  } kCases[] = {{"1", 0, 1}, {"2", 0, 2}, {"3", 0, 0}, {"01", 0, 0}, {"0", 2, 2}, {"", 1, 1}};
  for (const auto& c : kCases) {
    general.noVisible = c.before;
    Read(std::string("[General]\nCom=COM1\nLog=l\nNoVisible=") + c.value + "\n[0001]\n");
    EXPECT_EQ(general.noVisible, c.after) << "NoVisible=" << c.value;
  }
}

TEST(BuildSiteList, SkipsTheFirstSectionAndTheReservedNames) {
  SiteList sites(1);
  SitesMenu menu;
  BuildSiteList({"0009", "General", "A", "Siti", "Modem", "general", "SITI", "B"}, sites, menu);
  // The first section is never a site; the reserved names are exact and
  // case-sensitive, so "general" and "SITI" are sites.
  EXPECT_EQ(Names(sites), (std::vector<std::string>{"A", "general", "SITI", "B"}));
  ASSERT_EQ(menu.size(), 4u);
  for (std::size_t i = 0; i < menu.size(); ++i) {
    EXPECT_EQ(menu[i].id, 40500 + static_cast<int>(i));
    EXPECT_EQ(menu[i].text, Names(sites)[i]);
    EXPECT_FALSE(menu[i].grayed);
  }
}

TEST(BuildSiteList, WithoutSiteSectionsTheFirstEntryKeepsAnEmptyName) {
  SiteList sites(1);
  SitesMenu menu;
  BuildSiteList({"General", "Modem"}, sites, menu);
  EXPECT_EQ(Names(sites), std::vector<std::string>{""});
  ASSERT_EQ(menu.size(), 1u);
  EXPECT_EQ(menu[0].id, 40500);
  EXPECT_EQ(menu[0].text, "");
}

TEST(FindSite, ExactCaseSensitiveFirstMatch) {
  SiteList sites(3);
  auto it = sites.begin();
  (it++)->name = "AB";
  it->name = "ab";
  it->ogni = 1;
  (++it)->name = "ab";
  EXPECT_EQ(FindSite(sites, "ab")->ogni, 1);
  EXPECT_EQ(FindSite(sites, "AB"), &sites.front());
  EXPECT_EQ(FindSite(sites, "A"), nullptr);
  EXPECT_EQ(FindSite(sites, "abc"), nullptr);
}

}  // namespace
}  // namespace vr
