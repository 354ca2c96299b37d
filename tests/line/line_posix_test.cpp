// The POSIX line on a real pty. These tests run in real time; they check
// only that a wait lasted at least its time-out, never that it was short.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "base/wake_signal.h"
#include "line/line.h"
#include "line/open_line.h"
#include "support/recording_notifier.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// A pty pair: the test plays the device on the master side; the recorder
// opens the slave by its path.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name != nullptr) slavePath_ = name;
  }
  ~Pty() { CloseMaster(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
  const std::string& SlavePath() const { return slavePath_; }
  int master() const { return master_; }

  void Send(std::string_view bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the recorder wrote, as far as it arrives within waitMs.
  std::string Receive(std::size_t count, int waitMs = 2000) {
    std::string got;
    const auto deadline = SteadyClock::now() + milliseconds(waitMs);
    while (got.size() < count && SteadyClock::now() < deadline) {
      pollfd p{.fd = master_, .events = POLLIN, .revents = 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  termios Termios() const {
    termios t{};
    tcgetattr(master_, &t);  // a pty master reports its slave's settings
    return t;
  }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slavePath_;
};

class PosixLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok()) << "no pty: " << errno;
    std::uint32_t error = 0;
    line = OpenSystemLine(pty.SlavePath(), &error);
    ASSERT_NE(line, nullptr) << "error " << error;
    PortSettings s;  // 9600 8N1, no flow control
    ASSERT_TRUE(line->SetSettings(s));
  }

  std::string ReadString(std::size_t count, std::uint32_t timeoutMs, IoResult* result = nullptr) {
    EXPECT_TRUE(line->SetTimeouts({.readTotalMs = timeoutMs, .writeTotalMs = 1000}));
    std::string buffer(count, '\0');
    const IoResult r =
        line->Read(std::span(reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size()));
    if (result) *result = r;
    EXPECT_LE(r.bytes, count);
    buffer.resize(r.bytes);
    return buffer;
  }

  Pty pty;
  std::unique_ptr<Line> line;
};

TEST_F(PosixLineTest, ReadReturnsAtItsCountLeavingTheRestForTheNextRead) {
  pty.Send("abcdefgh");
  // No read time-out: only reaching the count can end these reads.
  EXPECT_EQ(ReadString(5, 0), "abcde");
  EXPECT_EQ(ReadString(3, 0), "fgh");
}

TEST_F(PosixLineTest, ReadGathersBytesThatTrickleInUntilItsCount) {
  std::thread device([this] {
    for (const char c : std::string("xyz")) {
      std::this_thread::sleep_for(milliseconds(30));
      pty.Send(std::string(1, c));
    }
  });
  EXPECT_EQ(ReadString(3, 0), "xyz");
  device.join();
}

TEST_F(PosixLineTest, ReadReturnsAtItsTimeOutWithWhatHasArrived) {
  pty.Send("ab");
  IoResult r;
  const auto start = SteadyClock::now();
  EXPECT_EQ(ReadString(10, 200, &r), "ab");
  EXPECT_GE(SteadyClock::now() - start, milliseconds(190));
  EXPECT_TRUE(r.ok);
}

TEST_F(PosixLineTest, ReadOfAQuietLineReturnsNothingAfterItsTimeOut) {
  IoResult r;
  const auto start = SteadyClock::now();
  EXPECT_EQ(ReadString(10, 200, &r), "");
  EXPECT_GE(SteadyClock::now() - start, milliseconds(190));
  EXPECT_TRUE(r.ok);
}

TEST_F(PosixLineTest, WrittenBytesReachTheFarEnd) {
  const std::string bytes = "at&f\n\r\x13\x11";
  const IoResult r =
      line->Write(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, bytes.size());
  EXPECT_EQ(pty.Receive(bytes.size()), bytes);
}

TEST_F(PosixLineTest, NulBytesAreDroppedAndDoNotCountWhenDiscardingIsOn) {
  PortSettings s;
  s.discardNull = true;
  ASSERT_TRUE(line->SetSettings(s));
  pty.Send(std::string("a\0b\0\0c", 6));
  EXPECT_EQ(ReadString(3, 0), "abc");

  s.discardNull = false;
  ASSERT_TRUE(line->SetSettings(s));
  pty.Send(std::string("d\0", 2));
  EXPECT_EQ(ReadString(2, 0), std::string("d\0", 2));
}

TEST_F(PosixLineTest, BytesThatLookLikeLineEndsArriveUnchanged) {
  pty.Send("\r\n\x7f\x03\x1a");
  EXPECT_EQ(ReadString(5, 0), "\r\n\x7f\x03\x1a");
}

TEST_F(PosixLineTest, WriteStopsAtItsTimeOutWhileTheFarEndHoldsItWithXoff) {
  PortSettings s;
  s.outX = true;
  ASSERT_TRUE(line->SetSettings(s));
  pty.Send("\x13");  // the far end says XOFF
  ASSERT_TRUE(line->SetTimeouts({.readTotalMs = 0, .writeTotalMs = 200}));
  const std::string lots(256 * 1024, 'r');
  const auto start = SteadyClock::now();
  const IoResult r =
      line->Write(std::span(reinterpret_cast<const std::uint8_t*>(lots.data()), lots.size()));
  EXPECT_GE(SteadyClock::now() - start, milliseconds(190));
  EXPECT_TRUE(r.ok);
  EXPECT_LT(r.bytes, lots.size());
}

TEST_F(PosixLineTest, FlowCharsGoOutWhileTheFarEndHoldsTheOutput) {
  struct Case {
    const char* what;
    bool outX;  // the driver obeys the far end's XOFF
    std::uint8_t xon;
    std::uint8_t xoff;
    std::uint8_t byte;
    bool goesOut;  // sent ahead of the hold
  };
  const Case cases[] = {
      {"XOFF", true, 0x11, 0x13, 0x13, true},
      {"XON", true, 0x11, 0x13, 0x11, true},
      {"configured XOFF", true, 'Q', 'S', 'S', true},
      {"not a flow character: an ordinary write", true, 0x11, 0x13, 'A', false},
      // No driver flow control: the recorder's own XON still goes out as one.
      {"XON without driver flow control", false, 'Q', 'S', 'Q', true},
  };
  ASSERT_TRUE(line->SetTimeouts({.readTotalMs = 2000, .writeTotalMs = 100}));
  // The far end's flow character, then a mark: once the mark is read the line
  // discipline has taken the character before it.
  const auto farEndSends = [&](std::uint8_t flowChar) {
    pty.Send(std::string{static_cast<char>(flowChar), 'm'});
    std::uint8_t mark = 0;
    EXPECT_EQ(line->Read(std::span(&mark, 1)).bytes, 1u);
    EXPECT_EQ(mark, 'm');
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PortSettings s;
    s.outX = c.outX;
    s.xonChar = c.xon;
    s.xoffChar = c.xoff;
    ASSERT_TRUE(line->SetSettings(s));
    if (c.outX) {
      farEndSends(c.xoff);
      const IoResult held = line->Write(std::span(&c.byte, 1));
      EXPECT_TRUE(held.ok);
      EXPECT_EQ(held.bytes, 0u);
      EXPECT_EQ(pty.Receive(1, 200), "");
    }
    const IoResult r = line->SendFlowChar(c.byte);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, c.goesOut ? 1u : 0u);
    EXPECT_EQ(pty.Receive(1, c.goesOut ? 2000 : 200),
              c.goesOut ? std::string(1, static_cast<char>(c.byte)) : "");
    if (c.outX) farEndSends(c.xon);  // output free again, before the next settings
  }
}

TEST_F(PosixLineTest, SettingsComeBackAsTheyWereSet) {
  // A pty keeps 8 data bits without parity whatever it is told; GetSettings
  // reports the port as it is, so those two are left at that here.
  PortSettings s;
  s.baud = 19200;
  s.stopBits = StopBitsMode::kTwo;
  s.outX = true;
  s.inX = true;
  s.xonChar = 0x51;
  s.xoffChar = 0x53;
  s.outxCtsFlow = true;
  s.outxDsrFlow = true;
  s.dtrControl = DtrControl::kHandshake;
  s.rtsControl = RtsControl::kDisable;
  s.dsrSensitivity = true;
  s.parityCheck = true;
  s.discardNull = true;
  s.errorChar = 0x47;
  s.eofChar = 0xFF;
  ASSERT_TRUE(line->SetSettings(s));
  PortSettings back;
  ASSERT_TRUE(line->GetSettings(back));
  EXPECT_EQ(back, s);
}

TEST_F(PosixLineTest, SpeedsWithoutADriverSettingAreRefused) {
  PortSettings s;
  s.baud = 12345;
  EXPECT_FALSE(line->SetSettings(s));
  EXPECT_EQ(line->LastError(), static_cast<std::uint32_t>(EINVAL));
}

TEST_F(PosixLineTest, APtyHasNoModemLinesButTheLineStillWorks) {
  EXPECT_FALSE(line->Carrier());
  EXPECT_FALSE(line->SetDtr(true));
  PortSettings s;
  s.dtrControl = DtrControl::kEnable;
  s.rtsControl = RtsControl::kHandshake;
  EXPECT_TRUE(line->SetSettings(s));
  pty.Send("ok");
  EXPECT_EQ(ReadString(2, 0), "ok");
}

TEST_F(PosixLineTest, SecondOpenOfThePortFailsAsBusy) {
  std::uint32_t error = 0;
  EXPECT_EQ(OpenSystemLine(pty.SlavePath(), &error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(EBUSY));
  line.reset();
  auto again = OpenSystemLine(pty.SlavePath(), &error);
  EXPECT_NE(again, nullptr) << "error " << error;
}

TEST_F(PosixLineTest, ReadAfterTheFarEndHungUpFailsAfterItsTimeOut) {
  pty.CloseMaster();
  IoResult r;
  const auto start = SteadyClock::now();
  ReadString(4, 200, &r);
  EXPECT_GE(SteadyClock::now() - start, milliseconds(190));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error, 0u);
}

TEST_F(PosixLineTest, ReadWithinEndsWhenTheWakeIsRaisedWithWhatHasArrived) {
  SystemWakeSignal wake;
  std::atomic<bool> returned{false};
  pty.Send("ab");
  std::thread worker([&] {
    std::this_thread::sleep_for(milliseconds(100));
    wake.Signal();
    // A read the wake did not end is ended by filling it, so that the test
    // fails on its bytes instead of hanging.
    for (int i = 0; i < 200 && !returned; ++i) std::this_thread::sleep_for(milliseconds(50));
    if (!returned) pty.Send("filler!!");
  });
  // No time-out and more asked than will come: only the wake can end it.
  std::uint8_t buffer[10];
  const IoResult r = line->ReadWithin(buffer, 0, &wake);
  returned = true;
  worker.join();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), r.bytes), "ab");
}

TEST_F(PosixLineTest, ReadWithinAWakeAlreadyRaisedLeavesTheBytesForTheNextRead) {
  SystemWakeSignal wake;
  pty.Send("ab");
  wake.Signal();
  std::uint8_t buffer[10];
  EXPECT_EQ(line->ReadWithin(buffer, 0, &wake).bytes, 0u);
  EXPECT_TRUE(wake.Consume());
  EXPECT_EQ(ReadString(2, 0), "ab");
}

TEST_F(PosixLineTest, ReadWithinHasItsOwnTimeOutAndLeavesThePortsAlone) {
  const LineTimeouts portTimeouts{.readTotalMs = 0, .writeTotalMs = 700};
  ASSERT_TRUE(line->SetTimeouts(portTimeouts));
  SystemWakeSignal wake;
  pty.Send("ab");
  std::uint8_t buffer[10];
  const auto start = SteadyClock::now();
  const IoResult r = line->ReadWithin(buffer, 200, &wake);
  EXPECT_GE(SteadyClock::now() - start, milliseconds(190));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), r.bytes), "ab");
  LineTimeouts after;
  ASSERT_TRUE(line->GetTimeouts(after));
  EXPECT_EQ(after, portTimeouts);
  // At its count it returns at once, wake or not.
  pty.Send("cdef");
  EXPECT_EQ(line->ReadWithin(std::span(buffer).first(4), 0, nullptr).bytes, 4u);
}

// With an interval time-out a read ends once the line goes quiet after a
// byte, whichever way it is made; its total time-out here is so long that
// only the interval can have ended it by the time it returns.
TEST_F(PosixLineTest, IntervalTimeOutEndsAReadOnceTheLineGoesQuietAfterABurst) {
  constexpr std::uint32_t kTotalMs = 60'000;
  ASSERT_TRUE(line->SetTimeouts({.readTotalMs = kTotalMs, .writeTotalMs = 1000, .readIntervalMs = 20}));
  SystemWakeSignal wake;
  const std::function<IoResult(std::span<std::uint8_t>)> reads[] = {
      [&](std::span<std::uint8_t> b) { return line->Read(b); },
      [&](std::span<std::uint8_t> b) { return line->ReadWithin(b, kTotalMs, &wake); },
  };
  for (const auto& read : reads) {
    // A burst bigger than one read, written as fast as the pty takes it.
    std::string sent;
    for (int i = 0; sent.size() < 20'000; ++i) sent += "0001 call " + std::to_string(i) + "\r\n";
    std::thread device([&] {
      for (std::size_t at = 0; at < sent.size(); at += 512)
        pty.Send(std::string_view(sent).substr(at, 512));
    });
    std::string got;
    std::uint8_t buffer[4096];
    const auto start = SteadyClock::now();
    while (got.size() < sent.size()) {
      const IoResult r = read(buffer);
      ASSERT_TRUE(r.ok);
      if (r.bytes == 0) break;
      got.append(reinterpret_cast<char*>(buffer), r.bytes);
    }
    const auto took = SteadyClock::now() - start;
    device.join();
    EXPECT_EQ(got, sent);  // complete and in order
    EXPECT_LT(took, milliseconds(kTotalMs));
  }
  // Before its first byte the interval does not run: a quiet line's read
  // lasts its total time-out.
  ASSERT_TRUE(line->SetTimeouts({.readTotalMs = 200, .writeTotalMs = 1000, .readIntervalMs = 20}));
  std::uint8_t buffer[10];
  const auto start = SteadyClock::now();
  EXPECT_EQ(line->Read(buffer).bytes, 0u);
  EXPECT_GE(SteadyClock::now() - start, milliseconds(190));
}

TEST(OpenSystemLineTest, MissingPathFailsWithTheSystemError) {
  std::uint32_t error = 0;
  EXPECT_EQ(OpenSystemLine("/dev/no-such-port-here", &error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));
}

TEST(OpenSystemLineTest, AFileThatIsNotATerminalIsRefused) {
  test::TempDir dir;
  std::uint32_t error = 0;
  EXPECT_EQ(OpenSystemLine(dir.Write("plain", "x"), &error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOTTY));
}

// OpenLine with the real opener, on a pty, for a site's section.
TEST(PosixOpenLineTest, OpenLineSetsThePtyForTheSiteAndClosingPutsItBack) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const termios before = pty.Termios();

  test::TempDir dir;
  dir.Write("VESPREC.INI",
            "[S1]\nModem=0\nBaud=4800\nBitDati=8\nParita=N\nStop=2\nHandshake=XON\n"
            "Xon=17\nXoff=19\nTimeoutFineImp=30\n");
  Profile profile(dir.File("VESPREC.INI"));
  ManualClock clock;
  std::atomic<bool> stop{false};
  test::RecordingNotifier notifier;
  std::uint32_t chunk = 0;
  LineEnvironment env{.profile = profile,
                      .portName = pty.SlavePath(),
                      .notifier = notifier,
                      .stop = stop,
                      .clock = clock,
                      .open = OpenSystemLine,
                      .resizeBuffers = [&](std::uint32_t bytes) { return (chunk = bytes) > 0; },
                      .slave = false,
                      .pumpMessages = nullptr};
  SiteSettings site;
  site.deviceType = DeviceType::kCom;
  site.sTimeReadMs = 200;
  site.sTimeWriteMs = 1000;
  site.eliminaNull = 1;
  LineSettings lineSettings;
  LineState state;
  ASSERT_EQ(OpenLine(env, "S1", site, lineSettings, state, 1, false), 0);
  EXPECT_TRUE(notifier.Notes().empty());
  EXPECT_EQ(chunk, 600u);  // (200 / 1000 + 1) * 4800 / 8

  const termios t = pty.Termios();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_iflag & IXON, 0u);
  EXPECT_NE(t.c_iflag & IXOFF, 0u);
  EXPECT_EQ(t.c_cc[VSTART], 17);
  EXPECT_EQ(t.c_cc[VSTOP], 19);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);

  // The site's read time-out, with NUL discarding.
  pty.Send(std::string("R1\0", 3));
  std::uint8_t buffer[16];
  const auto start = SteadyClock::now();
  const IoResult r = state.line->Read(buffer);
  EXPECT_GE(SteadyClock::now() - start, milliseconds(190));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), r.bytes), "R1");

  CloseLine(state);
  const termios after = pty.Termios();
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(after.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB),
            before.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB));
  EXPECT_EQ(after.c_iflag & (IXON | IXOFF), before.c_iflag & (IXON | IXOFF));
  // Closed: the port can be opened again.
  std::uint32_t error = 0;
  EXPECT_NE(OpenSystemLine(pty.SlavePath(), &error), nullptr);
}

}  // namespace
}  // namespace vr
