#pragma once
// Calendar dates and times of day <-> seconds since 1601-01-01 00:00, in the
// proleptic Gregorian calendar, with no time zone: a day is 86400 s.

#include <cstdint>

namespace vr {

struct CivilTime {
  int year = 1601;
  int month = 1;   // 1..12
  int day = 1;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..59
  int milliseconds = 0;

  friend bool operator==(const CivilTime&, const CivilTime&) = default;
};

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1601-01-01 of the given date (which must be valid).
std::int64_t DaysFromCivil(int year, int month, int day);

// True for a real date and time of day from 1601-01-01 to 30827-12-31
// (the range of a Windows SYSTEMTIME).
bool IsValidCivil(const CivilTime& t);

// Seconds since 1601-01-01 00:00 (milliseconds are ignored).
std::int64_t ToSeconds(const CivilTime& t);

// The calendar date and time of day of a count of seconds (>= 0).
CivilTime FromSeconds(std::int64_t seconds);

// Day of the week of a count of seconds: 0 Sunday .. 6 Saturday.
int Weekday(std::int64_t seconds);

}  // namespace vr
