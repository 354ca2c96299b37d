#pragma once
// Dates and times for tests, by their calendar fields.

#include <cstdint>

#include "base/civil_time.h"

namespace vr::test {

inline CivilTime CivilAt(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0) {
  CivilTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

// Local seconds since 1601-01-01 of a calendar date and time.
inline std::int64_t SecondsAt(int year, int month, int day, int hour = 0, int minute = 0,
                              int second = 0) {
  return ToSeconds(CivilAt(year, month, day, hour, minute, second));
}

}  // namespace vr::test
