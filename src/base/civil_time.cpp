#include "base/civil_time.h"

namespace vr {
namespace {

// Days from 0000-03-01 to 1601-01-01 in the algorithm below.
constexpr std::int64_t kEpochShift = 584694;

// Civil-from-days and days-from-civil after H. Hinnant's public-domain
// algorithms, counted from 0000-03-01.
std::int64_t DaysFromZero(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe);
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

std::int64_t DaysFromCivil(int year, int month, int day) {
  return DaysFromZero(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochShift;
}

bool IsValidCivil(const CivilTime& t) {
  if (t.year < 1601 || t.year > 30827) return false;
  if (t.month < 1 || t.month > 12) return false;
  if (t.day < 1 || t.day > DaysInMonth(t.year, t.month)) return false;
  if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59) return false;
  if (t.second < 0 || t.second > 59) return false;
  return t.milliseconds >= 0 && t.milliseconds <= 999;
}

std::int64_t ToSeconds(const CivilTime& t) {
  return DaysFromCivil(t.year, t.month, t.day) * kSecondsPerDay + t.hour * 3600 + t.minute * 60 +
         t.second;
}

CivilTime FromSeconds(std::int64_t seconds) {
  const std::int64_t days = seconds / kSecondsPerDay;
  const auto rest = static_cast<int>(seconds % kSecondsPerDay);
  const std::int64_t z = days + kEpochShift;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);

  CivilTime t;
  t.year = static_cast<int>(y);
  t.month = static_cast<int>(m);
  t.day = static_cast<int>(d);
  t.hour = rest / 3600;
  t.minute = rest / 60 % 60;
  t.second = rest % 60;
  return t;
}

int Weekday(std::int64_t seconds) {
  // 1601-01-01 was a Monday.
  return static_cast<int>((seconds / kSecondsPerDay + 1) % 7);
}

}  // namespace vr
