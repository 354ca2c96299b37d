#pragma once
// Device models as the PC's serial port sees them, and the transmitter they
// share.
//
// A device is a passive discrete-event state machine. Its host (SimulatedLine
// under simulated time, vesper-sim under real time) hands it the PC's bytes and
// modem lines with the moment they arrive, asks when it next has something to
// do, and runs it up to a moment, collecting the bytes it sends, each stamped
// with the moment its last bit has reached the PC:
//
//   device.RunUntil(nowUs, sink);       // first bring the device up to now,
//   device.Receive(byte, nowUs);        // then hand it what the PC sent at now
//   TimeUs next = device.NextEventUs(); // sleep (or jump) until then
//
// Nothing in a model reads a clock, so the same code runs against a
// ManualClock or the real time.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <string_view>

namespace vr::sim {

// Microseconds on the simulation's time line.
using TimeUs = std::int64_t;
inline constexpr TimeUs kNeverUs = std::numeric_limits<TimeUs>::max();
inline constexpr TimeUs kUsPerMs = 1000;
inline constexpr TimeUs kUsPerSecond = 1000000;

// Time one character takes on the wire at `baud` (start bit, data bits,
// parity and stop bits: 10 bits for 8N1).
TimeUs CharTimeUs(std::uint32_t baud, int bitsPerChar = 10);

// Where a device's bytes go, in the order they are sent.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // `atUs` never decreases from one call to the next of one device.
  virtual void Put(std::uint8_t byte, TimeUs atUs) = 0;
  // True while the sink takes no more for now: RunUntil then stops before
  // the next byte and picks up from there on its next call. Without it an
  // unpaced device (see Transmitter::Unpace) would produce without end.
  virtual bool Full() const { return false; }
};

class Device {
 public:
  virtual ~Device() = default;

  // The next moment the device does something on its own (a byte arrives at
  // the PC, a delay ends); kNeverUs while it only waits for the PC.
  virtual TimeUs NextEventUs() const = 0;
  // Does everything due up to and including `nowUs`.
  virtual void RunUntil(TimeUs nowUs, ByteSink& out) = 0;
  // A byte from the PC, fully arrived at `nowUs`. The host has run the
  // device up to `nowUs` before.
  virtual void Receive(std::uint8_t byte, TimeUs nowUs) = 0;
  // The PC's DTR and RTS outputs, after RunUntil(nowUs) as for Receive.
  virtual void SetPcLines(bool dtr, bool rts, TimeUs nowUs) {
    (void)dtr;
    (void)rts;
    (void)nowUs;
  }
  // The far end of a modem link came up or went down (a device behind a
  // modem); a direct line is always up.
  virtual void SetLinkUp(bool up, TimeUs nowUs) {
    (void)up;
    (void)nowUs;
  }
  // Carrier detect as the PC sees it. A direct cable keeps it on.
  virtual bool Carrier() const { return true; }
};

// One serial transmitter: sends its queued bytes one after another at its
// baud, each no earlier than the moment given with it. While it is held (XOFF,
// control lines down, link down) the character already on the wire is
// finished and the rest waits.
class Transmitter {
 public:
  // Independent reasons to hold; the transmitter runs when none is set.
  enum HoldReason : unsigned {
    kHoldXoff = 1u << 0,
    kHoldLines = 1u << 1,
    kHoldLink = 1u << 2,
  };

  explicit Transmitter(std::uint32_t baud = 9600) { SetBaud(baud); }
  void SetBaud(std::uint32_t baud) { charUs_ = CharTimeUs(baud); }
  // Characters take no time on the wire: the bytes go as fast as the host
  // hands them on (a pty has no baud rate; only its reader slows it down).
  void Unpace() { charUs_ = 0; }
  TimeUs CharUs() const { return charUs_; }

  void Queue(std::uint8_t byte, TimeUs notBeforeUs);
  void Queue(std::string_view bytes, TimeUs notBeforeUs);
  // Forgets what waits to be sent (not the character on the wire).
  void Clear() { queue_.clear(); }
  bool Empty() const { return queue_.empty(); }
  std::size_t QueuedBytes() const { return queue_.size(); }
  // Something is queued, or a character is still on the wire at `nowUs`.
  bool Busy(TimeUs nowUs) const { return !queue_.empty() || lineFreeUs_ > nowUs; }

  // When the next character will have fully arrived; kNeverUs when nothing
  // can be sent.
  TimeUs NextDoneUs() const;
  // Takes the next character; its arrival time is NextDoneUs().
  std::uint8_t Pop();

  void SetHeld(HoldReason reason, bool held, TimeUs nowUs);
  bool Held() const { return holdReasons_ != 0; }

 private:
  struct Item {
    std::uint8_t byte;
    TimeUs notBeforeUs;
  };
  TimeUs NextStartUs() const;

  std::deque<Item> queue_;
  TimeUs charUs_ = 0;
  TimeUs lineFreeUs_ = 0;          // when the last character started has left
  TimeUs resumedAtUs_ = 0;         // nothing starts before the last release
  TimeUs heldAtUs_ = kNeverUs;     // characters starting at or after this wait
  unsigned holdReasons_ = 0;
};

// Common frame of a device with one transmitter and one timer: RunUntil
// interleaves the transmitter's bytes and the timer in time order.
class TransmittingDevice : public Device {
 public:
  TimeUs NextEventUs() const override;
  void RunUntil(TimeUs nowUs, ByteSink& out) override;
  // See Transmitter::Unpace.
  void Unpace() { tx_.Unpace(); }

 protected:
  explicit TransmittingDevice(std::uint32_t baud) : tx_(baud) {}
  // A byte has fully arrived at the PC.
  virtual void OnSent(std::uint8_t byte, TimeUs atUs) {
    (void)byte;
    (void)atUs;
  }
  // The transmitter has just run dry at `atUs` (after OnSent).
  virtual void OnTxIdle(TimeUs atUs) { (void)atUs; }
  virtual TimeUs NextTimerUs() const { return kNeverUs; }
  // Called at NextTimerUs(); must move the timer on.
  virtual void OnTimer(TimeUs atUs) { (void)atUs; }

  Transmitter tx_;
};

}  // namespace vr::sim
