#pragma once
// Time as the recorder sees it: local wall-clock seconds since 1601-01-01
// 00:00 (no time zone; a day is always 86400 s) and a millisecond tick for
// intervals. Everything that reads the time takes a Clock, so tests can
// drive schedules and time-outs without sleeping.

#include <cstdint>

namespace vr {

struct LocalNow {
  std::int64_t seconds = 0;  // whole local seconds since 1601-01-01 00:00
  int milliseconds = 0;      // 0..999 within that second
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalNow Now() const = 0;
  // Monotonic milliseconds; only differences mean anything.
  virtual std::uint64_t TickMs() const = 0;
  // Waits; a simulated clock only moves on.
  virtual void SleepMs(std::uint32_t ms) const = 0;
};

// The operating system's local time and monotonic tick.
class SystemClock final : public Clock {
 public:
  LocalNow Now() const override;
  std::uint64_t TickMs() const override;
  void SleepMs(std::uint32_t ms) const override;
};

// A clock that moves only when told to.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::int64_t seconds = 0, int milliseconds = 0)
      : now_{seconds, milliseconds} {}
  LocalNow Now() const override { return now_; }
  std::uint64_t TickMs() const override { return tickMs_; }
  void SleepMs(std::uint32_t ms) const override { AdvanceMs(ms); }

  void Set(std::int64_t seconds, int milliseconds = 0) { now_ = {seconds, milliseconds}; }
  // Moves both the wall clock and the tick.
  void AdvanceMs(std::uint64_t ms) const {
    tickMs_ += ms;
    std::int64_t total = now_.milliseconds + static_cast<std::int64_t>(ms);
    now_.seconds += total / 1000;
    now_.milliseconds = static_cast<int>(total % 1000);
  }

 private:
  mutable LocalNow now_;
  mutable std::uint64_t tickMs_ = 0;
};

}  // namespace vr
