#include "base/civil_time.h"
#include "support/civil.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vr {
namespace {


// 1970-01-01 is 11 644 473 600 s after 1601-01-01 (the FILETIME of the Unix
// epoch); 2010-01-01 is 1 262 304 000 s after the Unix epoch.
constexpr std::int64_t kUnixEpoch = 11644473600;
constexpr std::int64_t k2010 = kUnixEpoch + 1262304000;

TEST(CivilTimeTest, KnownDatesGiveKnownCounts) {
  EXPECT_EQ(ToSeconds(test::CivilAt(1601, 1, 1)), 0);
  EXPECT_EQ(ToSeconds(test::CivilAt(1601, 1, 2, 0, 0, 1)), kSecondsPerDay + 1);
  EXPECT_EQ(ToSeconds(test::CivilAt(1970, 1, 1)), kUnixEpoch);
  EXPECT_EQ(ToSeconds(test::CivilAt(2010, 1, 1)), k2010);
  EXPECT_EQ(ToSeconds(test::CivilAt(2010, 1, 1, 10, 30, 15)), k2010 + 10 * 3600 + 30 * 60 + 15);
}

TEST(CivilTimeTest, DaysCountLeapYearsOfTheGregorianRules) {
  EXPECT_EQ(DaysFromCivil(1601, 12, 31), 364);
  EXPECT_EQ(DaysFromCivil(1604, 3, 1) - DaysFromCivil(1604, 2, 28), 2);  // 1604 is leap
  EXPECT_EQ(DaysFromCivil(1700, 3, 1) - DaysFromCivil(1700, 2, 28), 1);  // 1700 is not
  EXPECT_EQ(DaysFromCivil(2000, 3, 1) - DaysFromCivil(2000, 2, 28), 2);  // 2000 is
  EXPECT_EQ(DaysFromCivil(2001, 1, 1) - DaysFromCivil(2000, 1, 1), 366);
}

TEST(CivilTimeTest, FromSecondsInvertsToSeconds) {
  const CivilTime samples[] = {test::CivilAt(1601, 1, 1), test::CivilAt(1601, 12, 31, 23, 59, 59), test::CivilAt(1900, 2, 28, 12),
                               test::CivilAt(1900, 3, 1), test::CivilAt(2000, 2, 29, 8, 7, 6),     test::CivilAt(2010, 3, 5, 8, 7),
                               test::CivilAt(2100, 3, 1), test::CivilAt(30827, 12, 31, 23, 59, 59)};
  for (const CivilTime& t : samples) {
    EXPECT_EQ(FromSeconds(ToSeconds(t)), t) << t.year << "-" << t.month << "-" << t.day;
  }
}

TEST(CivilTimeTest, FromSecondsWalksEveryDayOfFourCenturies) {
  // Day after day the date must move by exactly one calendar day.
  CivilTime previous = FromSeconds(0);
  for (std::int64_t day = 1; day < 146097; ++day) {
    const CivilTime t = FromSeconds(day * kSecondsPerDay + 3661);
    ASSERT_EQ(t.hour, 1);
    ASSERT_EQ(t.minute, 1);
    ASSERT_EQ(t.second, 1);
    const bool nextDay =
        t.year == previous.year && t.month == previous.month && t.day == previous.day + 1;
    const bool nextMonth = t.year == previous.year && t.month == previous.month + 1 && t.day == 1;
    const bool nextYear = t.year == previous.year + 1 && t.month == 1 && t.day == 1 &&
                          previous.month == 12 && previous.day == 31;
    ASSERT_TRUE(nextDay || nextMonth || nextYear) << "day " << day;
    ASSERT_TRUE(IsValidCivil(t)) << "day " << day;
    previous = t;
  }
  EXPECT_EQ(previous, test::CivilAt(2000, 12, 31, 1, 1, 1));
}

TEST(CivilTimeTest, WeekdayStartsOnSunday) {
  EXPECT_EQ(Weekday(0), 1);                                      // 1601-01-01: Monday
  EXPECT_EQ(Weekday(ToSeconds(test::CivilAt(2010, 1, 1, 23, 59, 59))), 5);  // Friday
  EXPECT_EQ(Weekday(ToSeconds(test::CivilAt(2010, 1, 3))), 0);              // Sunday
  EXPECT_EQ(Weekday(ToSeconds(test::CivilAt(2010, 1, 4, 9))), 1);           // Monday
  EXPECT_EQ(Weekday(ToSeconds(test::CivilAt(2010, 1, 9))), 6);              // Saturday
  EXPECT_EQ(Weekday(kUnixEpoch), 4);                             // Thursday
}

TEST(CivilTimeTest, IsValidCivilRejectsImpossibleFields) {
  EXPECT_TRUE(IsValidCivil(test::CivilAt(1601, 1, 1)));
  EXPECT_TRUE(IsValidCivil(test::CivilAt(30827, 12, 31, 23, 59, 59)));
  EXPECT_TRUE(IsValidCivil(test::CivilAt(2000, 2, 29)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(1600, 12, 31)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(30828, 1, 1)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(1900, 2, 29)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(2010, 4, 31)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(2010, 0, 1)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(2010, 13, 1)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(2010, 1, 0)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(2010, 1, 1, 24)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(2010, 1, 1, -1)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(2010, 1, 1, 0, 60)));
  EXPECT_FALSE(IsValidCivil(test::CivilAt(2010, 1, 1, 0, 0, 60)));
  CivilTime ms = test::CivilAt(2010, 1, 1);
  ms.milliseconds = 1000;
  EXPECT_FALSE(IsValidCivil(ms));
}

}  // namespace
}  // namespace vr
