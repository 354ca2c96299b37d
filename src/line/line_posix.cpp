// The serial line on POSIX: termios on a non-blocking descriptor, waits with
// poll(). The port settings are those of a Windows device control block; the
// fields with a termios counterpart live in the termios record, the others
// (DTR and RTS control modes, DSR fields, error and end characters, NUL
// discarding) in a record kept here, so that GetSettings gives back what was
// set and closing can restore the opening settings.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <utility>

#include "base/wake_signal.h"
#include "line/discard_nul.h"
#include "line/line.h"
#include "line/tcp_line.h"
#include "line/timed_line.h"

namespace vr {
namespace {

struct SpeedEntry {
  speed_t speed;
  std::uint32_t baud;
};

constexpr SpeedEntry kSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},     {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},   {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200}, {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400},
#ifdef B460800
    {B460800, 460800},
#endif
#ifdef B921600
    {B921600, 921600},
#endif
};

std::optional<speed_t> SpeedOf(std::uint32_t baud) {
  for (const SpeedEntry& e : kSpeeds)
    if (e.baud == baud) return e.speed;
  return std::nullopt;
}

std::uint32_t BaudOf(speed_t speed) {
  for (const SpeedEntry& e : kSpeeds)
    if (e.speed == speed) return e.baud;
  return 0;
}

using SteadyClock = std::chrono::steady_clock;

// How long closing waits for written bytes to leave.
constexpr int kCloseDrainMs = 1000;
// The longest a read of a line that is gone waits before it reports so.
constexpr int kHungUpPauseMs = 1000;

class PosixLine final : public TimedLine {
 public:
  PosixLine(int fd, const PortSettings& shadow) : fd_(fd), shadow_(shadow) {}
  ~PosixLine() override {
    // Let what was written go out, but not for ever: close() on a port held
    // by flow control would wait for the driver's closing time (30 s).
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kCloseDrainMs);
    int queued = 0;
    while (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0 && SteadyClock::now() < deadline)
      poll(nullptr, 0, 10);
    tcflush(fd_, TCOFLUSH);
    ioctl(fd_, TIOCNXCL);
    close(fd_);
  }
  PosixLine(const PosixLine&) = delete;
  PosixLine& operator=(const PosixLine&) = delete;

  bool GetSettings(PortSettings& settings) override {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return Fail();
    settings = shadow_;
    FromTermios(t, settings);
    return true;
  }

  bool SetSettings(const PortSettings& s) override {
    const auto speed = SpeedOf(s.baud);
    if (!speed || s.byteSize < 5 || s.byteSize > 8) return Fail(EINVAL);
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return Fail();
    // Raw bytes both ways; breaks are not data (as on Windows). INPCK stays off:
    // Windows hands over a byte with a parity error as it came, Linux would
    // turn it into a NUL.
    t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY |
                                        INPCK | IGNPAR | IXON | IXOFF);
    t.c_iflag |= IGNBRK;
    if (s.outX) t.c_iflag |= IXON;
    if (s.inX) t.c_iflag |= IXOFF;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    // CLOCAL: a carrier drop must not hang the descriptor up; the recorder
    // watches the carrier itself and dials again.
    t.c_cflag |= CREAD | CLOCAL;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[s.byteSize - 5];
    if (s.parity != ParityMode::kNone) t.c_cflag |= PARENB;
    if (s.parity == ParityMode::kOdd) t.c_cflag |= PARODD;
    if (s.stopBits == StopBitsMode::kTwo) t.c_cflag |= CSTOPB;
    if (s.outxCtsFlow) t.c_cflag |= CRTSCTS;
    t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, *speed) != 0 || cfsetospeed(&t, *speed) != 0) return Fail();
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return Fail();
    // Handshake modes have no driver counterpart here: the line is raised.
    // A pty has no modem lines; that must not make the settings fail.
    ModemLine(TIOCM_DTR, s.dtrControl != DtrControl::kDisable);
    ModemLine(TIOCM_RTS, s.rtsControl != RtsControl::kDisable);
    shadow_ = s;
    return true;
  }

  // The kernel's tty buffers are fixed (4 KB and more); nothing to ask for.
  bool SetQueues(std::uint32_t, std::uint32_t) override { return true; }

  IoResult Write(std::span<const std::uint8_t> bytes) override {
    IoResult r{.ok = true};
    const auto deadline = DeadlineAfter(Timeouts().writeTotalMs);
    while (r.bytes < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + r.bytes, bytes.size() - r.bytes);
      if (n > 0) {
        r.bytes += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        Fail();
        r.ok = false;
        r.error = lastError_;
        return r;
      }
      const int waitMs = MsUntil(deadline);
      if (waitMs == 0) break;  // the write time-out: what went out is reported
      pollfd p{.fd = fd_, .events = POLLOUT, .revents = 0};
      if (poll(&p, 1, waitMs) < 0 && errno != EINTR) {
        Fail();
        r.ok = false;
        r.error = lastError_;
        return r;
      }
    }
    return r;
  }

  // tcflow() has the driver send VSTART or VSTOP (which SetSettings makes the
  // XON and XOFF characters, whether or not IXON and IXOFF are on) ahead of
  // waiting output; Linux sends it even while the far end's XOFF has stopped
  // the output.
  IoResult SendFlowChar(std::uint8_t byte) override {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return Failed();
    int action = -1;
    if (byte != static_cast<std::uint8_t>(_POSIX_VDISABLE)) {
      if (byte == t.c_cc[VSTOP])
        action = TCIOFF;
      else if (byte == t.c_cc[VSTART])
        action = TCION;
    }
    if (action < 0) return Write(std::span(&byte, 1));
    AwaitFlowCharGone();
    while (tcflow(fd_, action) != 0)
      if (errno != EINTR) return Failed();
    lastFlowChar_ = SteadyClock::now();
    return {.ok = true, .bytes = 1};
  }

  bool Carrier() override {
    int bits = 0;
    if (ioctl(fd_, TIOCMGET, &bits) != 0) return Fail();
    return (bits & TIOCM_CAR) != 0;
  }
  bool SetDtr(bool on) override { return ModemLine(TIOCM_DTR, on); }
  bool SetRts(bool on) override { return ModemLine(TIOCM_RTS, on); }

  std::uint32_t LastError() const override { return lastError_; }

 private:
  bool Fail(int error) {
    lastError_ = static_cast<std::uint32_t>(error);
    return false;
  }
  bool Fail() { return Fail(errno); }
  IoResult Failed() {
    Fail();
    return {.ok = false, .bytes = 0, .error = lastError_};
  }

  // A UART driver keeps one flow character waiting to go out, and a second
  // one sent before the first has left takes its place: the second of two
  // XON would be lost. Two character times after the last one it has gone.
  void AwaitFlowCharGone() {
    if (!lastFlowChar_ || shadow_.baud == 0) return;
    const std::uint32_t bits = 1u + shadow_.byteSize +
                               (shadow_.parity != ParityMode::kNone ? 1u : 0u) +
                               (shadow_.stopBits == StopBitsMode::kTwo ? 2u : 1u);
    const auto gone =
        *lastFlowChar_ + std::chrono::microseconds(2'000'000ull * bits / shadow_.baud);
    for (int waitMs = MsUntil(gone); waitMs > 0; waitMs = MsUntil(gone))
      poll(nullptr, 0, waitMs);
  }

  bool ModemLine(int bit, bool on) {
    if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) return Fail();
    return true;
  }

  void FromTermios(const termios& t, PortSettings& s) const {
    s.baud = BaudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
      case CS5:
        s.byteSize = 5;
        break;
      case CS6:
        s.byteSize = 6;
        break;
      case CS7:
        s.byteSize = 7;
        break;
      default:
        s.byteSize = 8;
        break;
    }
    s.parity = (t.c_cflag & PARENB) == 0 ? ParityMode::kNone
               : (t.c_cflag & PARODD)    ? ParityMode::kOdd
                                         : ParityMode::kEven;
    s.stopBits = (t.c_cflag & CSTOPB) ? StopBitsMode::kTwo : StopBitsMode::kOne;
    s.outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    s.outX = (t.c_iflag & IXON) != 0;
    s.inX = (t.c_iflag & IXOFF) != 0;
    s.xonChar = t.c_cc[VSTART];
    s.xoffChar = t.c_cc[VSTOP];
  }

  // Reads until the buffer is full, the deadline passes (none: no time-out)
  // or wake is raised, with what has arrived by then.
  IoResult ReadUntil(std::span<std::uint8_t> buffer, const Deadline& deadline,
                     WakeSignal* wake) override {
    IoResult r{.ok = true};
    const int wakeFd = wake != nullptr ? static_cast<int>(wake->NativeHandle()) : -1;
    bool farEndGone = false;
    Deadline quiet;  // the interval time-out's end, once a byte is kept
    while (r.bytes < buffer.size()) {
      const ssize_t n = read(fd_, buffer.data() + r.bytes, buffer.size() - r.bytes);
      if (n > 0) {
        const auto got = std::span(buffer.data() + r.bytes, static_cast<std::size_t>(n));
        r.bytes += shadow_.discardNull ? DiscardNul(got) : got.size();
        if (r.bytes > 0) quiet = QuietDeadline();
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return HungUp(r, deadline, wakeFd, errno);
      // n == 0 or EAGAIN: nothing there now (VMIN = VTIME = 0). After a
      // hang-up poll() keeps reporting it; once drained, stop asking.
      if (farEndGone) return HungUp(r, deadline, wakeFd, EIO);
      if (wake != nullptr && wake->Wait(0)) break;
      const int waitMs = MsUntil(Sooner(deadline, quiet));
      if (waitMs == 0) break;
      pollfd p[2] = {{.fd = fd_, .events = POLLIN, .revents = 0},
                     {.fd = wakeFd, .events = POLLIN, .revents = 0}};
      const int ready = poll(p, wakeFd >= 0 ? 2 : 1, waitMs);
      if (ready < 0 && errno != EINTR) return HungUp(r, deadline, wakeFd, errno);
      if (ready > 0 && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) farEndGone = true;
    }
    return r;
  }

  // The far end is gone (a pty whose other side closed, an unplugged adapter).
  // The read lasts its time-out, at most a second, so that a caller reading
  // in a loop does not spin, and reports the error with what had arrived; a
  // raised wake ends that wait as it ends any other.
  IoResult HungUp(IoResult r, const std::optional<SteadyClock::time_point>& deadline, int wakeFd,
                  int error) {
    Fail(error);
    const auto soonest = SteadyClock::now() + std::chrono::milliseconds(kHungUpPauseMs);
    const auto until = deadline && *deadline < soonest ? *deadline : soonest;
    for (int waitMs = MsUntil(until); waitMs > 0; waitMs = MsUntil(until)) {
      pollfd p{.fd = wakeFd, .events = POLLIN, .revents = 0};
      if (poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN) != 0) break;
    }
    r.ok = false;
    r.error = lastError_;
    return r;
  }

  int fd_;
  PortSettings shadow_;
  std::uint32_t lastError_ = 0;
  std::optional<SteadyClock::time_point> lastFlowChar_;
};

}  // namespace

std::unique_ptr<Line> OpenSystemLine(const std::string& name, std::uint32_t* error) {
  if (IsTcpPortName(name)) return OpenTcpLine(name, error);
  auto fail = [&](int code) -> std::unique_ptr<Line> {
    if (error) *error = static_cast<std::uint32_t>(code);
    return nullptr;
  };
  const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  auto closeWith = [&](int code) {
    close(fd);
    return fail(code);
  };
  termios t{};
  if (tcgetattr(fd, &t) != 0) return closeWith(errno);
  // Not shared: the lock keeps out another recorder (and any program that
  // locks the port); TIOCEXCL keeps out plain opens by other users.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return closeWith(errno == EWOULDBLOCK ? EBUSY : errno);
  ioctl(fd, TIOCEXCL);

  // The fields that termios does not hold start from what the port shows.
  PortSettings shadow;
  shadow.parityCheck = (t.c_iflag & INPCK) != 0;
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) == 0) {
    shadow.dtrControl = (bits & TIOCM_DTR) ? DtrControl::kEnable : DtrControl::kDisable;
    shadow.rtsControl = (t.c_cflag & CRTSCTS) ? RtsControl::kHandshake
                        : (bits & TIOCM_RTS)  ? RtsControl::kEnable
                                              : RtsControl::kDisable;
  }
  if (error) *error = 0;
  return std::make_unique<PosixLine>(fd, shadow);
}

}  // namespace vr
