// The serial line on Windows: a COM handle opened for overlapped I/O, not
// shared. Every read and write is an overlapped call on the line's one event,
// waited for at once with GetOverlappedResult; the driver's COMMTIMEOUTS give
// the total time-outs.

#include <windows.h>

#include <string>
#include <utility>

#include "base/wake_signal.h"
#include "base/wide_text_win32.h"
#include "line/discard_nul.h"
#include "line/line.h"
#include "line/tcp_line.h"

namespace vr {
namespace {

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(h_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }
  HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE h_;
};

// How long a flow character waits for the one before it to go out: one
// character time at the slowest speeds, with room to spare.
constexpr ULONGLONG kFlowCharWaitMs = 200;

class Win32Line final : public Line {
 public:
  Win32Line(HANDLE port, HANDLE event) : port_(port), event_(event) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(port_.get(), &dcb)) discardNull_ = dcb.fNull != 0;
  }

  bool GetSettings(PortSettings& s) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_.get(), &dcb)) return Fail();
    s.baud = dcb.BaudRate;
    s.byteSize = dcb.ByteSize;
    s.parity = dcb.Parity == ODDPARITY    ? ParityMode::kOdd
               : dcb.Parity == EVENPARITY ? ParityMode::kEven
                                          : ParityMode::kNone;
    s.stopBits = dcb.StopBits == TWOSTOPBITS ? StopBitsMode::kTwo : StopBitsMode::kOne;
    s.binary = dcb.fBinary != 0;
    s.parityCheck = dcb.fParity != 0;
    s.outxCtsFlow = dcb.fOutxCtsFlow != 0;
    s.outxDsrFlow = dcb.fOutxDsrFlow != 0;
    s.dtrControl = dcb.fDtrControl == DTR_CONTROL_DISABLE  ? DtrControl::kDisable
                   : dcb.fDtrControl == DTR_CONTROL_ENABLE ? DtrControl::kEnable
                                                           : DtrControl::kHandshake;
    s.dsrSensitivity = dcb.fDsrSensitivity != 0;
    s.outX = dcb.fOutX != 0;
    s.inX = dcb.fInX != 0;
    s.rtsControl = dcb.fRtsControl == RTS_CONTROL_DISABLE     ? RtsControl::kDisable
                   : dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? RtsControl::kHandshake
                                                              : RtsControl::kEnable;
    s.errorCharOn = dcb.fErrorChar != 0;
    s.discardNull = dcb.fNull != 0;
    s.abortOnError = dcb.fAbortOnError != 0;
    s.xonChar = static_cast<std::uint8_t>(dcb.XonChar);
    s.xoffChar = static_cast<std::uint8_t>(dcb.XoffChar);
    s.errorChar = static_cast<std::uint8_t>(dcb.ErrorChar);
    s.eofChar = static_cast<std::uint8_t>(dcb.EofChar);
    discardNull_ = s.discardNull;
    return true;
  }

  bool SetSettings(const PortSettings& s) override {
    // Start from the port's own block so that the fields not modelled here
    // (XonLim, XoffLim, EvtChar, ...) keep their values.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_.get(), &dcb)) return Fail();
    dcb.BaudRate = s.baud;
    dcb.ByteSize = s.byteSize;
    dcb.Parity = s.parity == ParityMode::kOdd    ? ODDPARITY
                 : s.parity == ParityMode::kEven ? EVENPARITY
                                                 : NOPARITY;
    dcb.StopBits = s.stopBits == StopBitsMode::kTwo ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = s.binary ? 1 : 0;
    dcb.fParity = s.parityCheck ? 1 : 0;
    dcb.fOutxCtsFlow = s.outxCtsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = s.outxDsrFlow ? 1 : 0;
    dcb.fDtrControl = s.dtrControl == DtrControl::kDisable  ? DTR_CONTROL_DISABLE
                      : s.dtrControl == DtrControl::kEnable ? DTR_CONTROL_ENABLE
                                                            : DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = s.dsrSensitivity ? 1 : 0;
    dcb.fOutX = s.outX ? 1 : 0;
    dcb.fInX = s.inX ? 1 : 0;
    dcb.fRtsControl = s.rtsControl == RtsControl::kDisable  ? RTS_CONTROL_DISABLE
                      : s.rtsControl == RtsControl::kEnable ? RTS_CONTROL_ENABLE
                                                            : RTS_CONTROL_HANDSHAKE;
    dcb.fErrorChar = s.errorCharOn ? 1 : 0;
    dcb.fNull = s.discardNull ? 1 : 0;
    dcb.fAbortOnError = s.abortOnError ? 1 : 0;
    dcb.XonChar = static_cast<char>(s.xonChar);
    dcb.XoffChar = static_cast<char>(s.xoffChar);
    dcb.ErrorChar = static_cast<char>(s.errorChar);
    dcb.EofChar = static_cast<char>(s.eofChar);
    if (!SetCommState(port_.get(), &dcb)) return Fail();
    discardNull_ = s.discardNull;
    return true;
  }

  bool GetTimeouts(LineTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(port_.get(), &t)) return Fail();
    timeouts.readTotalMs = t.ReadTotalTimeoutConstant;
    timeouts.writeTotalMs = t.WriteTotalTimeoutConstant;
    timeouts.readIntervalMs = t.ReadIntervalTimeout;
    return true;
  }

  bool SetTimeouts(const LineTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = timeouts.readTotalMs;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalMs;
    // MAXDWORD with no total would mean "return at once"; no key asks for it.
    t.ReadIntervalTimeout = timeouts.readIntervalMs == MAXDWORD ? MAXDWORD - 1
                                                                : timeouts.readIntervalMs;
    if (!SetCommTimeouts(port_.get(), &t)) return Fail();
    return true;
  }

  bool SetQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) override {
    if (!SetupComm(port_.get(), inputBytes, outputBytes)) return Fail();
    return true;
  }

  IoResult Read(std::span<std::uint8_t> buffer) override {
    IoResult r = Transfer(buffer.data(), buffer.size(), /*write=*/false);
    // The driver drops NULs itself when fNull is set; this covers drivers that
    // ignore the bit (Wine on a pty).
    if (discardNull_) r.bytes = DiscardNul(buffer.first(r.bytes));
    return r;
  }

  IoResult Write(std::span<const std::uint8_t> bytes) override {
    return Transfer(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), /*write=*/true);
  }

  // TransmitCommChar puts the byte ahead of pending output, and the driver
  // sends it while the far end's XOFF holds the output. It takes one such
  // byte at a time and refuses the next until the last has gone: it is
  // tried again for as long as one is still waiting to go, then the byte is
  // written as any other.
  IoResult SendFlowChar(std::uint8_t byte) override {
    const ULONGLONG giveUpAt = GetTickCount64() + kFlowCharWaitMs;
    while (!TransmitCommChar(port_.get(), static_cast<char>(byte))) {
      if (!FlowCharWaiting() || GetTickCount64() >= giveUpAt) return Write(std::span(&byte, 1));
      Sleep(1);
    }
    return {.ok = true, .bytes = 1};
  }

  // The read waits on its own event and the wake event together; a raised
  // wake cancels it, keeping what had arrived.
  IoResult ReadWithin(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                      WakeSignal* wake) override {
    if (wake != nullptr && wake->Wait(0)) return {.ok = true};
    const auto wakeHandle =
        wake != nullptr ? reinterpret_cast<HANDLE>(wake->NativeHandle()) : nullptr;
    if (wakeHandle == nullptr || wakeHandle == INVALID_HANDLE_VALUE)
      return Line::ReadWithin(buffer, timeoutMs, wake);
    COMMTIMEOUTS saved{};
    if (!GetCommTimeouts(port_.get(), &saved)) return Failed();
    COMMTIMEOUTS within{};
    within.ReadTotalTimeoutConstant = timeoutMs;
    within.WriteTotalTimeoutConstant = saved.WriteTotalTimeoutConstant;
    within.ReadIntervalTimeout = saved.ReadIntervalTimeout;
    if (!SetCommTimeouts(port_.get(), &within)) return Failed();
    IoResult r = Transfer(buffer.data(), buffer.size(), /*write=*/false, wakeHandle);
    SetCommTimeouts(port_.get(), &saved);
    if (discardNull_) r.bytes = DiscardNul(buffer.first(r.bytes));
    return r;
  }

  bool Carrier() override {
    DWORD status = 0;
    if (!GetCommModemStatus(port_.get(), &status)) return Fail();
    return (status & MS_RLSD_ON) != 0;
  }
  bool SetDtr(bool on) override { return Escape(on ? SETDTR : CLRDTR); }
  bool SetRts(bool on) override { return Escape(on ? SETRTS : CLRRTS); }

  std::uint32_t LastError() const override { return lastError_; }

 private:
  bool Fail() {
    lastError_ = GetLastError();
    return false;
  }

  bool Escape(DWORD function) {
    if (!EscapeCommFunction(port_.get(), function)) return Fail();
    return true;
  }

  // A byte given to TransmitCommChar has not gone out yet.
  bool FlowCharWaiting() {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(port_.get(), &errors, &status) && status.fTxim != 0;
  }

  IoResult Failed() {
    Fail();
    return {.ok = false, .bytes = 0, .error = lastError_};
  }

  // One overlapped read or write, waited for at once; a raised wake cancels it.
  IoResult Transfer(std::uint8_t* data, std::size_t size, bool write, HANDLE wake = nullptr) {
    IoResult r;
    OVERLAPPED ov{};
    ov.hEvent = event_.get();
    ResetEvent(event_.get());
    const DWORD count = static_cast<DWORD>(size);
    const BOOL started = write ? WriteFile(port_.get(), data, count, nullptr, &ov)
                               : ReadFile(port_.get(), data, count, nullptr, &ov);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
      if (GetLastError() == ERROR_TIMEOUT) return {.ok = true};
      return Failed();
    }
    if (wake != nullptr) {
      const HANDLE waits[2] = {event_.get(), wake};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
        CancelIoEx(port_.get(), &ov);
    }
    DWORD done = 0;
    if (!GetOverlappedResult(port_.get(), &ov, &done, TRUE)) {
      Fail();
      // A cancelled read still hands over what had arrived. A total time-out
      // that ended the transfer is no fault of the port: Windows completes
      // it as a success, Wine with ERROR_TIMEOUT; either way it is a short
      // or empty transfer, and only the errors of a port that went away may
      // end the connection.
      r.ok = lastError_ == ERROR_OPERATION_ABORTED || lastError_ == ERROR_TIMEOUT;
      r.error = r.ok ? 0 : lastError_;
      r.bytes = done;
      return r;
    }
    r.ok = true;
    r.bytes = done;
    return r;
  }

  ScopedHandle port_;
  ScopedHandle event_;
  std::uint32_t lastError_ = 0;
  bool discardNull_ = false;
};

}  // namespace

std::unique_ptr<Line> OpenSystemLine(const std::string& name, std::uint32_t* error) {
  if (IsTcpPortName(name)) return OpenTcpLine(name, error);
  // COM10 and above need the device namespace; it works for COM1-9 too.
  const std::string path = name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
  ScopedHandle port(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  if (!port.valid()) {
    if (error) *error = GetLastError();
    return nullptr;
  }
  // Manual reset, as the line's one overlapped record needs.
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) {
    if (error) *error = GetLastError();
    return nullptr;
  }
  if (error) *error = 0;
  return std::make_unique<Win32Line>(port.release(), event.release());
}

}  // namespace vr
