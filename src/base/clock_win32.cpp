#include <windows.h>

#include "base/civil_time.h"
#include "base/clock.h"

namespace vr {

LocalNow SystemClock::Now() const {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  CivilTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  return {ToSeconds(t), st.wMilliseconds};
}

std::uint64_t SystemClock::TickMs() const { return GetTickCount64(); }

void SystemClock::SleepMs(std::uint32_t ms) const { Sleep(ms); }

}  // namespace vr
