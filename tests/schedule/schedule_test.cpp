#include "schedule/schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/civil_time.h"
#include "log/strings.h"
#include "support/civil.h"

namespace vr {
namespace {


constexpr std::int64_t kWeek = 7 * kSecondsPerDay;

// Weekday mask bits.
constexpr std::int32_t kSun = 1, kMon = 2, kWed = 8, kFri = 32;

// ---------------------------------------------------------------------------
// ParseOra / FormatOra

struct OraCase {
  const char* text;
  std::int64_t seconds;
  bool advanced;
};

class ParseOraValidTest : public testing::TestWithParam<OraCase> {};

TEST_P(ParseOraValidTest, GivesTheDateAndTime) {
  const OraCase& c = GetParam();
  const std::optional<OraValue> v = ParseOra(c.text);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->seconds, c.seconds);
  EXPECT_EQ(v->advanced, c.advanced);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseOraValidTest,
                         testing::Values(
                             // The separators may be anything.
                             OraCase{"08:00 01/01/2010", test::SecondsAt(2010, 1, 1, 8), false},
                             OraCase{"08.00 01-01-2010p", test::SecondsAt(2010, 1, 1, 8), true},
                             OraCase{"23x59x31x12x2010", test::SecondsAt(2010, 12, 31, 23, 59), false},
                             // A field may start with a blank, like atoi.
                             OraCase{" 8. 5  5- 3-2010", test::SecondsAt(2010, 3, 5, 8, 5), false},
                             // The year is the leading digits from position 12.
                             OraCase{"08.07 05-03-2010 and more", test::SecondsAt(2010, 3, 5, 8, 7), false},
                             OraCase{"08.07 05-03-2010 ends in p", test::SecondsAt(2010, 3, 5, 8, 7), true},
                             OraCase{"00.00 29-02-2000", test::SecondsAt(2000, 2, 29), false},
                             OraCase{"00.00 01-01-1601", 0, false},
                             OraCase{"23.59 31-12-30827p", test::SecondsAt(30827, 12, 31, 23, 59), true}));

class ParseOraInvalidTest : public testing::TestWithParam<const char*> {};

TEST_P(ParseOraInvalidTest, GivesNothing) { EXPECT_FALSE(ParseOra(GetParam()).has_value()); }

INSTANTIATE_TEST_SUITE_P(Cases, ParseOraInvalidTest,
                         testing::Values("",                   // empty
                                         "08.00 01-01-",       // no year
                                         "08.00 01-01-    ",   // year without digits
                                         "08.00",              // too short
                                         "ab.00 01-01-2010",   // hour without digits
                                         "08.  01-01-2010",    // minute blank
                                         "08.00 xx-01-2010",   // day without digits
                                         "08.00 01-  -2010",   // month blank
                                         "24.00 01-01-2010",   // hour > 23
                                         "23.60 01-01-2010",   // minute > 59
                                         "00.00 00-01-2010",   // day 0
                                         "00.00 31-04-2010",   // April has 30 days
                                         "00.00 29-02-1900",   // 1900 is not leap
                                         "00.00 01-00-2010",   // month 0
                                         "00.00 01-13-2010",   // month 13
                                         "00.00 31-12-1600",   // before 1601
                                         "00.00 01-01-30828",  // after 30827
                                         "00.00 01-01-99999999999999999999p"));

TEST(FormatOraTest, WritesTwoDigitFieldsAndTheP) {
  EXPECT_EQ(FormatOra(test::SecondsAt(2010, 3, 5, 8, 7)), "08.07 05-03-2010p");
  EXPECT_EQ(FormatOra(test::SecondsAt(2010, 12, 31, 23, 59)), "23.59 31-12-2010p");
  EXPECT_EQ(FormatOra(0), "00.00 01-01-1601p");
  EXPECT_EQ(FormatOra(test::SecondsAt(30827, 1, 2, 3, 4)), "03.04 02-01-30827p");
  // Seconds have no place in the text.
  EXPECT_EQ(FormatOra(test::SecondsAt(2010, 3, 5, 8, 7, 59)), "08.07 05-03-2010p");
}

TEST(FormatOraTest, ParseOraReadsBackWhatFormatOraWrote) {
  const std::int64_t samples[] = {0,
                                  test::SecondsAt(1601, 12, 31, 23, 59),
                                  test::SecondsAt(2000, 2, 29, 0, 1),
                                  test::SecondsAt(2010, 1, 4, 9),
                                  test::SecondsAt(2010, 3, 5, 8, 7),
                                  test::SecondsAt(30827, 12, 31, 23, 59)};
  for (std::int64_t s : samples) {
    const std::optional<OraValue> v = ParseOra(FormatOra(s));
    ASSERT_TRUE(v.has_value()) << FormatOra(s);
    EXPECT_EQ(v->seconds, s) << FormatOra(s);
    EXPECT_TRUE(v->advanced) << FormatOra(s);
  }
}

// ---------------------------------------------------------------------------
// AdvanceSchedule

struct AdvanceCase {
  const char* label;
  std::int32_t ricorrenza;
  std::int32_t ogni;
  std::int64_t next;
  std::int64_t now;
  int nowMs;
  std::int64_t expected;
};

void PrintTo(const AdvanceCase& c, std::ostream* os) { *os << c.label; }

class AdvanceScheduleTest : public testing::TestWithParam<AdvanceCase> {};

TEST_P(AdvanceScheduleTest, MovesTheNextDueTime) {
  const AdvanceCase& c = GetParam();
  SiteEntry entry;
  entry.name = "S1";
  entry.ricorrenza = c.ricorrenza;
  entry.ogni = c.ogni;
  entry.nextRun = c.next;
  const ManualClock clock(c.now, c.nowMs);
  AdvanceSchedule(entry, clock);
  EXPECT_EQ(entry.nextRun, c.expected)
      << "got " << FormatOra(entry.nextRun) << ", want " << FormatOra(c.expected);
  // Nothing but the due time moves.
  EXPECT_EQ(entry.ricorrenza, c.ricorrenza);
  EXPECT_EQ(entry.ogni, c.ogni);
}

INSTANTIATE_TEST_SUITE_P(
    Periodic, AdvanceScheduleTest,
    testing::Values(AdvanceCase{"hourly from 08:00, now 10:30", -1, 3600, test::SecondsAt(2010, 1, 1, 8),
                                test::SecondsAt(2010, 1, 1, 10, 30), 0, test::SecondsAt(2010, 1, 1, 11)},
                    AdvanceCase{"already later than now stays", -1, 3600, test::SecondsAt(2010, 1, 1, 11),
                                test::SecondsAt(2010, 1, 1, 10, 30), 0, test::SecondsAt(2010, 1, 1, 11)},
                    AdvanceCase{"equal to now is not later", -1, 3600, test::SecondsAt(2010, 1, 1, 10),
                                test::SecondsAt(2010, 1, 1, 10), 999, test::SecondsAt(2010, 1, 1, 11)},
                    AdvanceCase{"one second before a step", -1, 3600, test::SecondsAt(2010, 1, 1, 8),
                                test::SecondsAt(2010, 1, 1, 10, 59, 59), 0, test::SecondsAt(2010, 1, 1, 11)},
                    AdvanceCase{"exactly on a step", -1, 3600, test::SecondsAt(2010, 1, 1, 8),
                                test::SecondsAt(2010, 1, 1, 11), 0, test::SecondsAt(2010, 1, 1, 12)},
                    AdvanceCase{"daily, decades in the past", -5, 86400, test::SecondsAt(1980, 6, 1, 8),
                                test::SecondsAt(2010, 1, 1, 10, 30), 0, test::SecondsAt(2010, 1, 2, 8)},
                    AdvanceCase{"period not dividing a day", -1, 7000, test::SecondsAt(2010, 1, 1),
                                test::SecondsAt(2010, 1, 1, 5), 0, test::SecondsAt(2010, 1, 1) + 3 * 7000},
                    // -1 as an unsigned 32-bit amount is 2^32 - 1 seconds.
                    AdvanceCase{"negative Ogni taken as unsigned", -1, -1, test::SecondsAt(2010, 1, 1),
                                test::SecondsAt(2010, 1, 1), 0, test::SecondsAt(2010, 1, 1) + 4294967295LL}));

INSTANTIATE_TEST_SUITE_P(
    Continuous, AdvanceScheduleTest,
    testing::Values(AdvanceCase{"past time unchanged", 0, 3600, test::SecondsAt(2010, 1, 1, 8),
                                test::SecondsAt(2010, 1, 1, 10, 30), 0, test::SecondsAt(2010, 1, 1, 8)},
                    AdvanceCase{"future time unchanged", 0, 3600, test::SecondsAt(2011, 1, 1),
                                test::SecondsAt(2010, 1, 1, 10, 30), 0, test::SecondsAt(2011, 1, 1)}));

// 2010-01-04 is a Monday; 2010-01-03 the Sunday that begins its week.
INSTANTIATE_TEST_SUITE_P(
    Weekly, AdvanceScheduleTest,
    testing::Values(
        AdvanceCase{"Mondays every week, read Monday 10:00", kMon, 604800, test::SecondsAt(2010, 1, 4, 9),
                    test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 11, 9)},
        AdvanceCase{"Mondays every other week skips the next week", kMon, 1209600,
                    test::SecondsAt(2010, 1, 4, 9), test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 18, 9)},
        AdvanceCase{"Monday 08:00, due 09:00 the same day", kMon, 1209600, test::SecondsAt(2010, 1, 4, 9),
                    test::SecondsAt(2010, 1, 4, 8), 0, test::SecondsAt(2010, 1, 4, 9)},
        AdvanceCase{"same second is not later", kMon, 0, test::SecondsAt(2010, 1, 4, 9), test::SecondsAt(2010, 1, 4, 9), 0,
                    test::SecondsAt(2010, 1, 11, 9)},
        AdvanceCase{"one millisecond earlier is", kMon, 0, test::SecondsAt(2010, 1, 4, 9),
                    test::SecondsAt(2010, 1, 4, 8, 59, 59), 999, test::SecondsAt(2010, 1, 4, 9)},
        AdvanceCase{"Mon/Wed/Fri from Monday", kMon | kWed | kFri, 0, test::SecondsAt(2010, 1, 4, 9),
                    test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 6, 9)},
        AdvanceCase{"Mon/Wed/Fri from Wednesday", kMon | kWed | kFri, 0, test::SecondsAt(2010, 1, 6, 9),
                    test::SecondsAt(2010, 1, 6, 9, 30), 0, test::SecondsAt(2010, 1, 8, 9)},
        AdvanceCase{"Mon/Wed/Fri from Friday wraps to Monday", kMon | kWed | kFri, 604800,
                    test::SecondsAt(2010, 1, 8, 9), test::SecondsAt(2010, 1, 8, 10), 0, test::SecondsAt(2010, 1, 11, 9)},
        AdvanceCase{"Mon/Fri every other week: Friday is in the present week", kMon | kFri, 1209600,
                    test::SecondsAt(2010, 1, 4, 9), test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 8, 9)},
        AdvanceCase{"Mon/Fri every other week: from Friday skips a week", kMon | kFri, 1209600,
                    test::SecondsAt(2010, 1, 8, 9), test::SecondsAt(2010, 1, 8, 10), 0, test::SecondsAt(2010, 1, 18, 9)},
        // Sunday begins a week: Saturday 9th and Sunday 10th are a week apart.
        AdvanceCase{"Sunday after Saturday is the next week", kSun, 604800, test::SecondsAt(2010, 1, 9, 9),
                    test::SecondsAt(2010, 1, 9, 10), 0, test::SecondsAt(2010, 1, 10, 9)},
        AdvanceCase{"Sunday every other week", kSun, 1209600, test::SecondsAt(2010, 1, 9, 9), test::SecondsAt(2010, 1, 9, 10),
                    0, test::SecondsAt(2010, 1, 17, 9)},
        AdvanceCase{"Ogni just under a week accepts the next week", kMon, 604799, test::SecondsAt(2010, 1, 4, 9),
                    test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 11, 9)},
        AdvanceCase{"Ogni just over a week skips it", kMon, 604801, test::SecondsAt(2010, 1, 4, 9),
                    test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 18, 9)},
        AdvanceCase{"negative Ogni accepts every week", kMon, -5, test::SecondsAt(2010, 1, 4, 9),
                    test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 11, 9)},
        // 1990-01-01 was a Monday; the time of day is kept.
        AdvanceCase{"decades in the past", kMon, 604800, test::SecondsAt(1990, 1, 1, 9, 15), test::SecondsAt(2010, 1, 4, 10),
                    0, test::SecondsAt(2010, 1, 11, 9, 15)},
        // A future due time in a week too close to the present is passed over
        // as well.
        AdvanceCase{"future due time in a too-close week", kMon, 1209600, test::SecondsAt(2010, 1, 11, 9),
                    test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 18, 9)},
        AdvanceCase{"future due time far enough stays", kMon, 1209600, test::SecondsAt(2010, 1, 18, 9),
                    test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 18, 9)},
        AdvanceCase{"bits above Saturday are ignored", kMon | 128, 0, test::SecondsAt(2010, 1, 4, 9),
                    test::SecondsAt(2010, 1, 4, 10), 0, test::SecondsAt(2010, 1, 11, 9)},
        AdvanceCase{"no weekday bit leaves the time", 128, 0, test::SecondsAt(2010, 1, 4, 9), test::SecondsAt(2010, 1, 4, 10),
                    0, test::SecondsAt(2010, 1, 4, 9)}));

TEST(AdvanceScheduleLongTest, PeriodicFarInThePastIsComputedNotWalked) {
  // One-second steps from 1601 to 2010 would be about 1.3e10 additions; a
  // walking implementation would not finish within the test's time-out.
  SiteEntry entry;
  entry.ricorrenza = -1;
  entry.ogni = 1;
  entry.nextRun = 0;
  const ManualClock clock(test::SecondsAt(2010, 1, 1, 10, 30), 500);
  AdvanceSchedule(entry, clock);
  EXPECT_EQ(entry.nextRun, test::SecondsAt(2010, 1, 1, 10, 30, 1));
}

TEST(AdvanceScheduleLongTest, WeeklyWithTheLargestOgniEnds) {
  // 2147483647 s is 3550.8 weeks: the first Monday whose week lies at least
  // that far from the present week is 3551 weeks ahead.
  SiteEntry entry;
  entry.ricorrenza = kMon;
  entry.ogni = 2147483647;
  entry.nextRun = test::SecondsAt(2010, 1, 4, 9);
  const ManualClock clock(test::SecondsAt(2010, 1, 4, 10));
  AdvanceSchedule(entry, clock);
  EXPECT_EQ(entry.nextRun, test::SecondsAt(2010, 1, 4, 9) + 3551 * kWeek);
  EXPECT_EQ(Weekday(entry.nextRun), 1);
}

// ---------------------------------------------------------------------------
// StartSiteByHand

class StartSiteByHandTest : public testing::Test {
 protected:
  StartSiteByHandTest() {
    for (const char* name : {"ALFA", "BETA", "BETA", "gamma"}) {
      SiteEntry e;
      e.name = name;
      e.enabled = 0;
      e.nextRun = test::SecondsAt(2010, 1, 1);
      sites.push_back(e);
    }
    // The menu keeps the item of a site that is no longer in the list.
    menu = {{40500, "ALFA", false},
            {40501, "DROPPED", true},
            {40502, "BETA", false},
            {40504, "GAMMA", false}};
  }
  SiteList sites;
  SitesMenu menu;
  ManualClock clock{test::SecondsAt(2010, 1, 5, 12, 34, 56), 789};
};

TEST_F(StartSiteByHandTest, EnablesTheSiteAndMakesItDueNow) {
  SiteEntry* entry = StartSiteByHand(sites, menu, 40500, clock);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry, &sites.front());
  EXPECT_EQ(entry->enabled, 1);
  EXPECT_EQ(entry->nextRun, test::SecondsAt(2010, 1, 5, 12, 34, 56));
  // The other entries are untouched.
  for (auto it = std::next(sites.begin()); it != sites.end(); ++it) {
    EXPECT_EQ(it->enabled, 0);
    EXPECT_EQ(it->nextRun, test::SecondsAt(2010, 1, 1));
  }
}

TEST_F(StartSiteByHandTest, TheFirstEntryOfTheNameWins) {
  SiteEntry* entry = StartSiteByHand(sites, menu, 40502, clock);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry, &*std::next(sites.begin()));
  EXPECT_EQ(std::next(sites.begin(), 2)->enabled, 0);
}

TEST_F(StartSiteByHandTest, FindsNothingForAnUnknownItemOrName) {
  const int ids[] = {40501,   // the item's site was dropped
                     40503,   // no such item
                     40504};  // names compare with case
  for (int id : ids) {
    EXPECT_EQ(StartSiteByHand(sites, menu, id, clock), nullptr) << id;
  }
  for (const SiteEntry& e : sites) {
    EXPECT_EQ(e.enabled, 0);
    EXPECT_EQ(e.nextRun, test::SecondsAt(2010, 1, 1));
  }
}

// ---------------------------------------------------------------------------
// ReadSchedules and StoreNextRun on a real file

class ScheduleFileTest : public testing::Test {
 protected:
  ScheduleFileTest() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    // Parameterized test names hold '/'.
    std::string leaf = std::string("vr_schedule_") + info->test_suite_name() + "_" + info->name();
    for (char& ch : leaf) {
      if (ch == '/') ch = '_';
    }
    dir_ = std::filesystem::temp_directory_path() / leaf;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "VESPREC.INI").string();
  }
  ~ScheduleFileTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void WriteIni(const std::string& text) {
    std::ofstream out(path_, std::ios::binary);
    out << text;
  }

  // A site list and menu for the given names, in the order of the file.
  void MakeSites(std::initializer_list<const char*> names) {
    int id = kFirstSiteItemId;
    for (const char* name : names) {
      SiteEntry e;
      e.name = name;
      sites.push_back(e);
      menu.push_back({id++, name, false});
    }
  }

  void Read() {
    const Profile profile(path_);
    ReadSchedules(profile, sites, menu, reporter, clock);
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const SiteEntry& e : sites) names.push_back(e.name);
    return names;
  }

  std::vector<int> GrayedIds() const {
    std::vector<int> ids;
    for (const SitesMenuItem& item : menu) {
      if (item.grayed) ids.push_back(item.id);
    }
    return ids;
  }

  using Items = std::vector<CollectingReporter::Item>;

  std::filesystem::path dir_;
  std::string path_;
  SiteList sites;
  SitesMenu menu;
  CollectingReporter reporter;
  ManualClock clock{test::SecondsAt(2010, 1, 1, 10, 30)};
};

TEST_F(ScheduleFileTest, PeriodicFirstRunTimeIsMovedPastThePresent) {
  WriteIni(
      "[General]\nCom=COM1\n"
      "[P1]\nOgni=3600\nSitoAbilitato=1\nRicorrenza=-1\nOra=08:00 01/01/2010\n");
  MakeSites({"P1"});
  Read();
  EXPECT_TRUE(reporter.items.empty());
  ASSERT_EQ(sites.size(), 1u);
  const SiteEntry& e = sites.front();
  EXPECT_EQ(e.nextRun, test::SecondsAt(2010, 1, 1, 11));
  EXPECT_EQ(e.ogni, 3600);
  EXPECT_EQ(e.ricorrenza, -1);
  EXPECT_EQ(e.enabled, 1);
  EXPECT_TRUE(GrayedIds().empty());
}

TEST_F(ScheduleFileTest, PeriodicAdvancedTimeIsKeptAndDueAtOnce) {
  WriteIni("[P1]\nOgni=3600\nSitoAbilitato=1\nRicorrenza=-1\nOra=08.00 01-01-2010p\n");
  MakeSites({"P1"});
  Read();
  EXPECT_TRUE(reporter.items.empty());
  ASSERT_EQ(sites.size(), 1u);
  EXPECT_EQ(sites.front().nextRun, test::SecondsAt(2010, 1, 1, 8));
  EXPECT_LE(sites.front().nextRun, clock.Now().seconds);
}

TEST_F(ScheduleFileTest, WeeklySitesFollowTheirSpacing) {
  clock.Set(test::SecondsAt(2010, 1, 4, 10));  // a Monday
  WriteIni(
      "[W1]\nOgni=604800\nSitoAbilitato=1\nRicorrenza=2\nOra=09:00 04/01/2010\n"
      "[W2]\nOgni=1209600\nSitoAbilitato=1\nRicorrenza=2\nOra=09:00 04/01/2010\n"
      "[W3]\nOgni=1209600\nSitoAbilitato=0\nRicorrenza=34\nOra=09:00 04/01/2010\n");
  MakeSites({"W1", "W2", "W3"});
  Read();
  EXPECT_TRUE(reporter.items.empty());
  ASSERT_EQ(sites.size(), 3u);
  auto it = sites.begin();
  EXPECT_EQ(it->nextRun, test::SecondsAt(2010, 1, 11, 9));
  EXPECT_EQ((++it)->nextRun, test::SecondsAt(2010, 1, 18, 9));
  EXPECT_EQ((++it)->nextRun, test::SecondsAt(2010, 1, 8, 9));  // Friday of the present week
  EXPECT_EQ(it->enabled, 0);
  EXPECT_EQ(it->ricorrenza, 34);
}

TEST_F(ScheduleFileTest, ContinuousSiteIsDueAtTheMomentOfReading) {
  clock.Set(test::SecondsAt(2010, 1, 1, 10, 30, 17), 250);
  // Ora is required but not read as a time.
  WriteIni("[C1]\nOgni=5\nSitoAbilitato=1\nRicorrenza=0\nOra=not a time\n");
  MakeSites({"C1"});
  Read();
  EXPECT_TRUE(reporter.items.empty());
  ASSERT_EQ(sites.size(), 1u);
  EXPECT_EQ(sites.front().nextRun, test::SecondsAt(2010, 1, 1, 10, 30, 17));
  EXPECT_EQ(sites.front().ricorrenza, 0);
}

TEST_F(ScheduleFileTest, EnabledFlagIsTheLowByte) {
  WriteIni(
      "[A]\nOgni=5\nSitoAbilitato=257\nRicorrenza=0\nOra=x\n"
      "[B]\nOgni=5\nSitoAbilitato=256\nRicorrenza=0\nOra=x\n"
      "[C]\nOgni=5\nSitoAbilitato=200\nRicorrenza=0\nOra=x\n"
      "[D]\nOgni=5\nSitoAbilitato=-255\nRicorrenza=0\nOra=x\n");
  MakeSites({"A", "B", "C", "D"});
  Read();
  std::vector<int> enabled;
  for (const SiteEntry& e : sites) enabled.push_back(e.enabled);
  // -255 is 0x...FF01.
  EXPECT_EQ(enabled, (std::vector<int>{1, 0, 200, 1}));
}

struct DropCase {
  const char* label;
  const char* section;   // the keys of site S
  std::vector<int> ids;  // reported for S, in order
};

void PrintTo(const DropCase& c, std::ostream* os) { *os << c.label; }

class ScheduleDropTest : public ScheduleFileTest, public testing::WithParamInterface<DropCase> {};

TEST_P(ScheduleDropTest, ReportsThenDropsAndGraysTheItem) {
  const DropCase& c = GetParam();
  WriteIni(std::string("[General]\nCom=COM1\n[S]\n") + c.section +
           "[K]\nOgni=60\nSitoAbilitato=1\nRicorrenza=-1\nOra=10.00 01-01-2010\n");
  MakeSites({"S", "K"});
  Read();
  Items expected;
  for (int id : c.ids) expected.push_back({id, "S"});
  expected.push_back({msg::kSiteDropped, "S"});
  EXPECT_EQ(reporter.items, expected);
  EXPECT_EQ(Names(), std::vector<std::string>{"K"});
  EXPECT_EQ(GrayedIds(), std::vector<int>{kFirstSiteItemId});
  // The site after it is read with its own keys.
  EXPECT_EQ(sites.front().nextRun, test::SecondsAt(2010, 1, 1, 10, 31));
}

INSTANTIATE_TEST_SUITE_P(
    MissingKeys, ScheduleDropTest,
    testing::Values(
        DropCase{"Ogni literally -10",
                 "Ogni=-10\nSitoAbilitato=1\nRicorrenza=-1\nOra=x\n",
                 {msg::kOgni}},
        DropCase{"no Ogni", "SitoAbilitato=1\nRicorrenza=-1\nOra=08.00 01-01-2010\n", {msg::kOgni}},
        DropCase{"no SitoAbilitato",
                 "Ogni=60\nRicorrenza=-1\nOra=08.00 01-01-2010\n",
                 {msg::kSitoAbilitato}},
        DropCase{"no Ricorrenza",
                 "Ogni=60\nSitoAbilitato=1\nOra=08.00 01-01-2010\n",
                 {msg::kRicorrenza}},
        DropCase{"Ricorrenza holding the marker",
                 "Ogni=60\nSitoAbilitato=1\nRicorrenza=1*ZIOMIO*\nOra=08.00 01-01-2010\n",
                 {msg::kRicorrenza}},
        DropCase{"no Ora", "Ogni=60\nSitoAbilitato=1\nRicorrenza=-1\n", {msg::kOra}},
        DropCase{"continuous without Ora", "Ogni=60\nSitoAbilitato=1\nRicorrenza=0\n", {msg::kOra}},
        DropCase{"two keys missing, then Ora",
                 "SitoAbilitato=1\n",
                 {msg::kOgni, msg::kRicorrenza, msg::kOra}},
        DropCase{
            "empty section", "", {msg::kOgni, msg::kSitoAbilitato, msg::kRicorrenza, msg::kOra}}));

INSTANTIATE_TEST_SUITE_P(
    Refused, ScheduleDropTest,
    testing::Values(DropCase{"periodic with Ogni 0",
                             "Ogni=0\nSitoAbilitato=1\nRicorrenza=-1\nOra=08.00 01-01-2010\n",
                             {msg::kOgni}},
                    DropCase{"periodic with negative Ogni",
                             "Ogni=-3600\nSitoAbilitato=1\nRicorrenza=-1\nOra=08.00 01-01-2010\n",
                             {msg::kOgni}},
                    DropCase{"weekly without a weekday",
                             "Ogni=0\nSitoAbilitato=1\nRicorrenza=128\nOra=08.00 01-01-2010\n",
                             {msg::kRicorrenza}},
                    DropCase{"periodic with an impossible date",
                             "Ogni=60\nSitoAbilitato=1\nRicorrenza=-1\nOra=08.00 30-02-2010\n",
                             {msg::kOra}},
                    DropCase{"weekly with an hour of 24",
                             "Ogni=0\nSitoAbilitato=1\nRicorrenza=2\nOra=24.00 04-01-2010p\n",
                             {msg::kOra}},
                    DropCase{"periodic with an empty Ora",
                             "Ogni=60\nSitoAbilitato=1\nRicorrenza=-1\nOra=\n",
                             {msg::kOra}}));

TEST_F(ScheduleFileTest, TheItemIdCountsDroppedEntriesToo) {
  WriteIni(
      "[General]\nCom=COM1\n"
      "[A]\nOgni=60\nSitoAbilitato=1\nRicorrenza=-1\nOra=10.00 01-01-2010\n"
      "[B]\nOgni=60\nOra=10.00 01-01-2010\n"
      "[C]\nOgni=60\nSitoAbilitato=1\nRicorrenza=-1\n"
      "[D]\nOgni=120\nSitoAbilitato=1\nRicorrenza=-1\nOra=10.00 01-01-2010\n"
      "[E]\nSitoAbilitato=1\nRicorrenza=-1\nOra=10.00 01-01-2010\n");
  MakeSites({"A", "B", "C", "D", "E"});
  Read();
  const Items expected = {{msg::kSitoAbilitato, "B"}, {msg::kRicorrenza, "B"},
                          {msg::kSiteDropped, "B"},   {msg::kOra, "C"},
                          {msg::kSiteDropped, "C"},   {msg::kOgni, "E"},
                          {msg::kSiteDropped, "E"}};
  EXPECT_EQ(reporter.items, expected);
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "D"}));
  EXPECT_EQ(GrayedIds(), (std::vector<int>{40501, 40502, 40504}));
  EXPECT_EQ(menu.size(), 5u);
  EXPECT_EQ(sites.front().nextRun, test::SecondsAt(2010, 1, 1, 10, 31));
  EXPECT_EQ(sites.back().nextRun, test::SecondsAt(2010, 1, 1, 10, 32));
}

TEST_F(ScheduleFileTest, EveryEntryDroppedLeavesAnEmptyList) {
  WriteIni("[General]\nCom=COM1\n");
  // A file without site sections gives one entry with the empty name.
  MakeSites({""});
  Read();
  EXPECT_TRUE(sites.empty());
  const Items expected = {{msg::kOgni, ""},
                          {msg::kSitoAbilitato, ""},
                          {msg::kRicorrenza, ""},
                          {msg::kOra, ""},
                          {msg::kSiteDropped, ""}};
  EXPECT_EQ(reporter.items, expected);
  EXPECT_EQ(GrayedIds(), std::vector<int>{kFirstSiteItemId});
}

TEST_F(ScheduleFileTest, ADroppedEntryWithoutMenuItemIsStillDropped) {
  WriteIni("[A]\nOgni=60\n[B]\nOgni=60\nSitoAbilitato=1\nRicorrenza=0\nOra=x\n");
  MakeSites({"A", "B"});
  menu.clear();
  menu.push_back({40999, "A", false});
  Read();
  EXPECT_EQ(Names(), std::vector<std::string>{"B"});
  EXPECT_TRUE(GrayedIds().empty());
}

TEST_F(ScheduleFileTest, StoreNextRunWritesOraThatReadsBackUnchanged) {
  WriteIni(
      "[General]\nCom=COM1\n"
      "[P1]\nOgni=3600\nSitoAbilitato=1\nRicorrenza=-1\nOra=08:00 01/01/2010\n"
      "[P2]\nOgni=60\n");
  SiteEntry entry;
  entry.name = "P1";
  entry.nextRun = test::SecondsAt(2010, 3, 5, 8, 7);
  Profile profile(path_);
  ASSERT_TRUE(StoreNextRun(profile, entry));
  EXPECT_EQ(profile.ReadString("P1", "Ora", kMissingText), "08.07 05-03-2010p");
  EXPECT_EQ(profile.ReadInt("P1", "Ogni", kMissingNumber), 3600);
  EXPECT_EQ(profile.ReadString("P2", "Ora", kMissingText), kMissingText);

  // Read again later, the stored time is taken as already advanced.
  clock.Set(test::SecondsAt(2010, 3, 6));
  MakeSites({"P1"});
  Read();
  EXPECT_TRUE(reporter.items.empty());
  ASSERT_EQ(sites.size(), 1u);
  EXPECT_EQ(sites.front().nextRun, test::SecondsAt(2010, 3, 5, 8, 7));
}

}  // namespace
}  // namespace vr
