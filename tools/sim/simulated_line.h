#pragma once
// A serial line whose far end is a device model, running in simulated time.
//
// The line shares a vr::ManualClock with the code under test. A read returns
// at once, with the clock moved on to the moment its count was reached, its
// total time-out ran out or its interval time-out passed after its last
// byte, holding exactly the bytes the device had sent by then; a write hands the bytes to the device one character time apart at
// the line's baud and moves the clock on by that time. Nothing sleeps.
//
//   vr::ManualClock clock;
//   vr::sim::Exchange exchange;                  // or a HayesModem, a KestrelBox
//   vr::sim::SimulatedLine line(clock, exchange);
//   line.SetTimeouts({.readTotalMs = 1000, .writeTotalMs = 1000});
//   std::uint8_t buffer[100];
//   vr::IoResult r = line.Read(buffer);          // clock.TickMs() is now 1000 or less
//
// For code that opens its line by name (OpenLine), register lines with
// SimulatedPorts and hand its Open to the code under test:
//
//   vr::sim::SimulatedPorts ports;
//   ports.Add("/dev/ttyS0", line);
//   auto opened = ports.Open("/dev/ttyS0", &error);  // a handle on `line`
//   ports.FailOpen("/dev/ttyS0", /*error=*/16, /*times=*/2);
//
// Test-side controls: what was written (with times), the settings, time-outs
// and queue sizes applied, DTR and RTS, a forced carrier, and failures of any
// operation on demand.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "line/line.h"
#include "sim/device.h"

namespace vr::sim {

// System error codes the simulated ports report (the same numbers on POSIX
// and Windows where they exist on both).
inline constexpr std::uint32_t kSimErrorNotFound = 2;       // ENOENT, ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kSimErrorBusy = 16;          // EBUSY: the port is already open
inline constexpr std::uint32_t kSimErrorInvalid = 22;       // EINVAL: settings refused
inline constexpr std::uint32_t kSimErrorIo = 5;             // EIO: default injected failure

// The operations of vr::Line, for failure injection and call counts.
enum class LineOp : std::uint8_t {
  kGetSettings,
  kSetSettings,
  kGetTimeouts,
  kSetTimeouts,
  kSetQueues,
  kRead,
  kWrite,
  kCarrier,
  kSetDtr,
  kSetRts,
  kCount
};

class SimulatedLine final : public vr::Line {
 public:
  struct WrittenByte {
    std::uint8_t byte;
    TimeUs atUs;  // when it had fully reached the device
  };

  // `clock` and `device` must outlive the line.
  SimulatedLine(vr::ManualClock& clock, Device& device);

  // vr::Line
  bool GetSettings(vr::PortSettings& settings) override;
  bool SetSettings(const vr::PortSettings& settings) override;
  bool GetTimeouts(vr::LineTimeouts& timeouts) override;
  bool SetTimeouts(const vr::LineTimeouts& timeouts) override;
  bool SetQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) override;
  vr::IoResult Read(std::span<std::uint8_t> buffer) override;
  vr::IoResult Write(std::span<const std::uint8_t> bytes) override;
  bool Carrier() override;
  bool SetDtr(bool on) override;
  bool SetRts(bool on) override;
  std::uint32_t LastError() const override { return lastError_; }

  // --- Test side ---

  // The simulation's present, with the device brought up to it. Pass it to a
  // model's hooks that act "now" (HayesModem::DropCarrier, ...).
  TimeUs NowUs();
  // Bytes the device has sent that no read has taken yet.
  std::size_t PendingInputBytes();

  const vr::PortSettings& CurrentSettings() const { return settings_; }
  const vr::LineTimeouts& CurrentTimeouts() const { return timeouts_; }
  // Every time-out record applied, in order.
  const std::vector<vr::LineTimeouts>& TimeoutsHistory() const { return timeoutsHistory_; }
  std::uint32_t InputQueueBytes() const { return inputQueueBytes_; }
  std::uint32_t OutputQueueBytes() const { return outputQueueBytes_; }

  bool Dtr() const { return dtr_; }
  bool Rts() const { return rts_; }
  // Replaces the device's carrier; nullopt gives it back to the device.
  void ForceCarrier(std::optional<bool> carrier) { forcedCarrier_ = carrier; }

  // Every byte the PC wrote, with its time.
  const std::vector<WrittenByte>& Written() const { return written_; }
  // The same bytes as a string, for comparisons like EXPECT_EQ(..., "at&f\n\r").
  std::string WrittenBytes() const;
  void ClearWritten() { written_.clear(); }

  // The next `times` calls of `op` fail with `error` (times < 0: every
  // call from now on; 0: no more failures). A failed Carrier() says false.
  void FailNext(LineOp op, std::uint32_t error = kSimErrorIo, int times = 1);
  // The next write transfers at most `bytes` bytes (a short write).
  void LimitNextWrite(std::size_t bytes) { writeLimit_ = bytes; }
  int Calls(LineOp op) const { return calls_[static_cast<std::size_t>(op)]; }
  // Reads made with no read time-out that ended because the device had
  // nothing more to send (a real port would have waited for ever).
  int StalledReads() const { return stalledReads_; }

  // Called by SimulatedPorts when a handle is opened and closed. Closing
  // puts back the settings found at opening and drops DTR and RTS.
  void OnOpened();
  void OnClosed();

 private:
  class Sink;
  bool Enter(LineOp op);
  void SyncToClock();
  void Pump(TimeUs untilUs);
  void MoveClockTo(TimeUs us);
  // Takes what has arrived by now; *lastUs: when the last byte taken came.
  std::size_t TakeArrived(std::span<std::uint8_t> buffer, std::size_t filled,
                          TimeUs* lastUs = nullptr);
  void LinesChanged();
  int BitsPerChar() const;

  vr::ManualClock& clock_;
  Device& device_;
  TimeUs nowUs_ = 0;  // the line's own present; the clock shows it in whole ms

  struct Arrived {
    std::uint8_t byte;
    TimeUs atUs;
  };
  std::deque<Arrived> input_;

  vr::PortSettings settings_;
  vr::PortSettings settingsAtOpen_;
  vr::LineTimeouts timeouts_;
  std::vector<vr::LineTimeouts> timeoutsHistory_;
  std::uint32_t inputQueueBytes_ = 0;
  std::uint32_t outputQueueBytes_ = 0;
  bool dtr_ = true;
  bool rts_ = true;
  std::optional<bool> forcedCarrier_;
  std::vector<WrittenByte> written_;

  struct Failure {
    std::uint32_t error = 0;
    int times = 0;
  };
  std::array<Failure, static_cast<std::size_t>(LineOp::kCount)> failures_{};
  std::array<int, static_cast<std::size_t>(LineOp::kCount)> calls_{};
  std::optional<std::size_t> writeLimit_;
  std::uint32_t lastError_ = 0;
  int stalledReads_ = 0;
};

// Ports by name, for code that opens its line by name. Each registered line
// can be open once at a time; Open hands out a handle that forwards to it
// and closes it when destroyed.
class SimulatedPorts {
 public:
  using Opener = std::function<std::unique_ptr<vr::Line>(const std::string&, std::uint32_t*)>;

  // `line` must outlive the ports and every handle.
  void Add(const std::string& name, SimulatedLine& line);
  // Like vr::OpenSystemLine: a handle, or nothing with the system error in
  // *error (kSimErrorNotFound for an unknown name, kSimErrorBusy for a line
  // already open, or the error given to FailOpen).
  std::unique_ptr<vr::Line> Open(const std::string& name, std::uint32_t* error);
  // The next `times` opens of `name` fail with `error` (times < 0: all).
  void FailOpen(const std::string& name, std::uint32_t error, int times = 1);
  // Open calls made for `name`, failed ones included.
  int OpenAttempts(const std::string& name) const;
  bool IsOpen(const std::string& name) const;
  // Open as a function object, for code that takes an opener.
  Opener AsOpener() {
    return [this](const std::string& name, std::uint32_t* error) { return Open(name, error); };
  }

 private:
  class Handle;
  struct Port {
    SimulatedLine* line = nullptr;
    bool open = false;
    int attempts = 0;
    std::uint32_t failError = 0;
    int failTimes = 0;
  };
  std::map<std::string, Port> ports_;
};

}  // namespace vr::sim
