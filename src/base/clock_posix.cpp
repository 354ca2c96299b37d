#include <time.h>

#include <chrono>
#include <thread>

#include "base/civil_time.h"
#include "base/clock.h"

namespace vr {

LocalNow SystemClock::Now() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  CivilTime t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second reads as :59
  return {ToSeconds(t), static_cast<int>(ts.tv_nsec / 1000000)};
}

std::uint64_t SystemClock::TickMs() const {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SystemClock::SleepMs(std::uint32_t ms) const {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace vr
