#pragma once
// A signal one thread raises to wake another that waits on it: the site
// worker's message arrival, the front end's queue, the idle wait event. On
// POSIX it is a descriptor that poll() can watch together with the line; on
// Windows an event handle. The descriptor's or the event's state is the
// signal's only state, so a wake-up is never lost and a wait never returns
// at once for ever. The manual form moves a ManualClock instead of waiting,
// for tests.

#include <atomic>
#include <cstdint>

#include "base/clock.h"

namespace vr {

class WakeSignal {
 public:
  virtual ~WakeSignal() = default;
  // Raises the signal; any thread.
  virtual void Signal() = 0;
  // Lowers it; true when it was raised.
  virtual bool Consume() = 0;
  // Waits at most timeoutMs for the signal (which stays raised); true when
  // it is raised.
  virtual bool Wait(std::uint32_t timeoutMs) = 0;
  // POSIX: a descriptor readable while the signal is raised; Windows: the
  // event handle. -1 when there is none.
  virtual std::intptr_t NativeHandle() const { return -1; }
};

// The operating system's form.
class SystemWakeSignal final : public WakeSignal {
 public:
  SystemWakeSignal();
  ~SystemWakeSignal() override;
  SystemWakeSignal(const SystemWakeSignal&) = delete;
  SystemWakeSignal& operator=(const SystemWakeSignal&) = delete;

  void Signal() override;
  bool Consume() override;
  bool Wait(std::uint32_t timeoutMs) override;
  std::intptr_t NativeHandle() const override;

 private:
  std::intptr_t handles_[1] = {-1};
};

// A wait moves the clock on by the time-out unless the signal is raised.
class ManualWakeSignal final : public WakeSignal {
 public:
  explicit ManualWakeSignal(const ManualClock& clock) : clock_(clock) {}
  void Signal() override { raised_ = true; }
  bool Consume() override { return raised_.exchange(false); }
  bool Wait(std::uint32_t timeoutMs) override {
    if (!raised_) clock_.AdvanceMs(timeoutMs);
    return raised_;
  }

 private:
  const ManualClock& clock_;
  std::atomic<bool> raised_{false};
};

// Waits at most timeoutMs until either signal is raised (neither is lowered);
// true when one is. Two system signals are waited for together; otherwise
// see WaitForEitherPolled.
bool WaitForEither(WakeSignal& first, WakeSignal& second, std::uint32_t timeoutMs);

// For signals without a native handle (the manual form): second is only
// looked at, first is waited for.
inline bool WaitForEitherPolled(WakeSignal& first, WakeSignal& second, std::uint32_t timeoutMs) {
  if (second.Wait(0)) return true;
  return first.Wait(timeoutMs) || second.Wait(0);
}

}  // namespace vr
