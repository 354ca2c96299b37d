#pragma once
// The line as the site worker holds it: every call goes to the port, but no
// read waits for the device without an end. A read is made of slices of at
// most a second that a request to the worker wakes; the requests are taken
// (the worker's messages pumped) at once, and a read ends early once they
// have set StopFlag. A read time-out of 0 keeps its meaning, "until the
// count is reached", except that it too ends when StopFlag is set, and
// after StopFlag it waits no more than kStoppedReadMs.
//
// A read that fails (the adapter was pulled, the far end hung up) is noted
// in the LineFault the worker looks at after each step. Writes are not
// looked at: a port that is gone fails its next read too.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/clock.h"
#include "base/wake_signal.h"
#include "line/forwarding_line.h"

namespace vr {

// The longest single wait of a read on the device.
inline constexpr std::uint32_t kReadSliceMs = 1000;
// What a read without a time-out may wait once StopFlag is set: enough for
// an echo, not for a device that stays silent.
inline constexpr std::uint32_t kStoppedReadMs = 100;

// The first failure of the line since the worker last cleared it.
struct LineFault {
  bool failed = false;
  std::uint32_t error = 0;  // system error code
  void Note(const IoResult& r) {
    if (r.ok || failed) return;
    failed = true;
    error = r.error;
  }
};

struct WorkerAttention {
  WakeSignal& wake;                 // raised while requests wait for the worker
  std::function<void()> pump;       // takes them (PumpWorkerMessages)
  const std::atomic<bool>& stop;    // StopFlag
  const Clock& clock;
  LineFault& fault;
};

class AttentiveLine final : public ForwardingLine {
 public:
  AttentiveLine(std::unique_ptr<Line> port, WorkerAttention attention);

  bool GetTimeouts(LineTimeouts& timeouts) override;
  bool SetTimeouts(const LineTimeouts& timeouts) override;
  IoResult Read(std::span<std::uint8_t> buffer) override;
  // The reception's own pending read: it waits and wakes by itself.
  IoResult ReadWithin(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                      WakeSignal* wake) override;

 private:
  WorkerAttention attention_;
  // The port's time-outs as last set through here (read once otherwise).
  bool timeoutsKnown_ = false;
  LineTimeouts timeouts_;
};

}  // namespace vr
