#pragma once
// The serial line, as the recorder uses it: port settings in the terms of
// the Windows device control block, the total time-outs of a read and a
// write, the modem lines, and byte reads and writes. Three implementations:
// POSIX (termios), Win32 (a COM handle) and a simulated line whose far end
// is a device model, for tests.
//
// Time-outs keep the Windows meaning: a read returns when its count is
// reached or when its total time-out has passed, with what has arrived by
// then, or, with an interval time-out, once that long has passed without a
// byte after one had come; a write waits at most its total time-out.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "base/wake_signal.h"

namespace vr {

enum class DtrControl : std::uint8_t { kDisable, kEnable, kHandshake };
enum class RtsControl : std::uint8_t { kDisable, kEnable, kHandshake };
enum class ParityMode : std::uint8_t { kNone, kOdd, kEven };
enum class StopBitsMode : std::uint8_t { kOne, kTwo };

// The port settings the recorder reads and changes (fields of a DCB).
struct PortSettings {
  std::uint32_t baud = 9600;
  std::uint8_t byteSize = 8;
  ParityMode parity = ParityMode::kNone;
  StopBitsMode stopBits = StopBitsMode::kOne;
  bool binary = true;
  bool parityCheck = false;   // fParity
  bool outxCtsFlow = false;   // output held while CTS is low
  bool outxDsrFlow = false;   // output held while DSR is low
  DtrControl dtrControl = DtrControl::kEnable;
  bool dsrSensitivity = false;
  bool outX = false;          // XON/XOFF on output
  bool inX = false;           // XON/XOFF on input
  RtsControl rtsControl = RtsControl::kEnable;
  bool errorCharOn = false;   // fErrorChar
  bool discardNull = false;   // fNull: NUL bytes received are dropped
  bool abortOnError = false;
  std::uint8_t xonChar = 0x11;
  std::uint8_t xoffChar = 0x13;
  std::uint8_t errorChar = 0;
  std::uint8_t eofChar = 0;

  friend bool operator==(const PortSettings&, const PortSettings&) = default;
};

// The time-outs of COMMTIMEOUTS the recorder uses (the multipliers are
// always 0). readIntervalMs 0: no interval time-out.
struct LineTimeouts {
  std::uint32_t readTotalMs = 0;
  std::uint32_t writeTotalMs = 0;
  std::uint32_t readIntervalMs = 0;
  friend bool operator==(const LineTimeouts&, const LineTimeouts&) = default;
};

struct IoResult {
  bool ok = false;            // the call itself succeeded (a time-out is still ok)
  std::size_t bytes = 0;      // bytes transferred
  std::uint32_t error = 0;    // system error code when !ok
  // A network line: the connection under the line ended, after the bytes
  // of this read (which are all of that connection's). A serial port never
  // says so.
  bool connectionEnded = false;
};

class Line {
 public:
  virtual ~Line() = default;

  virtual bool GetSettings(PortSettings& settings) = 0;
  virtual bool SetSettings(const PortSettings& settings) = 0;
  virtual bool GetTimeouts(LineTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(const LineTimeouts& timeouts) = 0;
  // The driver's input and output queue sizes (0: the driver's default).
  virtual bool SetQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) = 0;

  // Reads until buffer is full, the read time-out has passed or the
  // interval time-out has ended it.
  virtual IoResult Read(std::span<std::uint8_t> buffer) = 0;
  // Writes the bytes, waiting at most the write time-out.
  virtual IoResult Write(std::span<const std::uint8_t> bytes) = 0;

  // Sends one flow-control character the way the driver sends its own: ahead
  // of output waiting in the driver and even while the far end holds the
  // output with its XOFF, so that holding or releasing the far end never
  // waits for the write time-out. The byte must be the port's xonChar or
  // xoffChar (on POSIX the driver can send only its VSTART and VSTOP
  // characters); any other byte goes out as an ordinary Write, as it does on
  // a line that cannot send ahead (the default). One character a call: two
  // calls send it twice.
  virtual IoResult SendFlowChar(std::uint8_t byte);

  // Reads like Read but with its own total time-out (the interval time-out
  // stays the line's), and returns early, with what has arrived, once wake
  // is raised (wake may be null). The site worker's one pending read is made
  // of these, so that a request to the worker never waits for a long read
  // time-out. The default cannot be woken once it waits.
  virtual IoResult ReadWithin(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                              WakeSignal* wake);

  // Carrier detect (receive-line signal) is on.
  virtual bool Carrier() = 0;
  virtual bool SetDtr(bool on) = 0;
  virtual bool SetRts(bool on) = 0;

  // The system error code of the last failed call.
  virtual std::uint32_t LastError() const = 0;

  // Where a line that changes state by itself (a network connection that
  // drops and comes back) says so, one text a change; from the reading
  // thread. A serial port has nothing to say.
  virtual void SetNotices(std::function<void(std::string)> /*notice*/) {}
};

// Opens a port by name (a device path on POSIX, COMn on Windows) for reading
// and writing, not shared. Nothing on failure, with the system error in
// *error.
std::unique_ptr<Line> OpenSystemLine(const std::string& name, std::uint32_t* error);

}  // namespace vr
