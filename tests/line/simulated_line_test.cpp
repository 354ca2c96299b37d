// The simulated line itself: total time-out reads in simulated time, writes
// that take character time, the port state it keeps for tests, failures on
// demand and opening by name.

#include "sim/simulated_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/exchange.h"

namespace vr::sim {
namespace {

// 8N1 at 9600 baud: 10 bits, rounded up to whole microseconds.
constexpr TimeUs kCharUs9600 = 1042;

std::string Text(const std::vector<std::uint8_t>& bytes, std::size_t count) {
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

ExchangeConfig Records(std::vector<std::string> texts) {
  ExchangeConfig config;
  config.records = std::move(texts);
  config.flow = ExchangeFlow::kNone;
  return config;
}

// A device that never sends anything and records what it gets.
class QuietDevice : public Device {
 public:
  TimeUs NextEventUs() const override { return kNeverUs; }
  void RunUntil(TimeUs, ByteSink&) override {}
  void Receive(std::uint8_t byte, TimeUs nowUs) override {
    received += static_cast<char>(byte);
    times.push_back(nowUs);
  }
  void SetPcLines(bool dtr, bool rts, TimeUs) override {
    lastDtr = dtr;
    lastRts = rts;
  }
  std::string received;
  std::vector<TimeUs> times;
  bool lastDtr = false;
  bool lastRts = false;
};

class SimulatedLineTest : public ::testing::Test {
 protected:
  void SetUp() override { clock_.Set(13000000000, 0); }
  ManualClock clock_;
};

TEST_F(SimulatedLineTest, ReadReturnsWhenItsCountIsReached) {
  Exchange exchange(Records({"0123456789ABCDEF"}));
  SimulatedLine line(clock_, exchange);
  ASSERT_TRUE(line.SetTimeouts({1000, 1000}));
  std::vector<std::uint8_t> buffer(10);

  IoResult r = line.Read(buffer);

  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 10u);
  EXPECT_EQ(Text(buffer, r.bytes), "0123456789");
  // The tenth character had arrived after ten character times, not the time-out.
  EXPECT_EQ(clock_.TickMs(), static_cast<std::uint64_t>(10 * kCharUs9600 / 1000));
}

TEST_F(SimulatedLineTest, ReadEndsAtItsTimeOutWithWhatHasArrived) {
  Exchange exchange(Records({"ABC"}));
  SimulatedLine line(clock_, exchange);
  ASSERT_TRUE(line.SetTimeouts({1000, 1000}));
  std::vector<std::uint8_t> buffer(100);

  IoResult r = line.Read(buffer);

  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Text(buffer, r.bytes), "ABC\r\n");
  EXPECT_EQ(clock_.TickMs(), 1000u);
  EXPECT_EQ(clock_.Now().seconds, 13000000001);
}

TEST_F(SimulatedLineTest, ReadOfAQuietLineTakesTheWholeTimeOut) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  ASSERT_TRUE(line.SetTimeouts({2500, 1000}));
  std::vector<std::uint8_t> buffer(1);

  IoResult r = line.Read(buffer);

  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(clock_.TickMs(), 2500u);
}

TEST_F(SimulatedLineTest, BytesArrivingAfterTheTimeOutWaitForTheNextRead) {
  ExchangeConfig config = Records({"late"});
  config.firstRecordUs = 1500 * kUsPerMs;
  Exchange exchange(config);
  SimulatedLine line(clock_, exchange);
  ASSERT_TRUE(line.SetTimeouts({1000, 1000}));
  std::vector<std::uint8_t> buffer(6);

  IoResult first = line.Read(buffer);
  EXPECT_EQ(first.bytes, 0u);
  EXPECT_EQ(clock_.TickMs(), 1000u);

  IoResult second = line.Read(buffer);
  EXPECT_EQ(Text(buffer, second.bytes), "late\r\n");
  // The record started at 1.5 s; its sixth character ends the read.
  EXPECT_EQ(clock_.TickMs(), static_cast<std::uint64_t>((1500000 + 6 * kCharUs9600) / 1000));
}

TEST_F(SimulatedLineTest, CountReachedInALaterRecordStopsThere) {
  ExchangeConfig config = Records({"first", "second"});
  config.intervalUs = 2 * kUsPerSecond;
  Exchange exchange(config);
  SimulatedLine line(clock_, exchange);
  ASSERT_TRUE(line.SetTimeouts({5000, 1000}));
  std::vector<std::uint8_t> buffer(10);

  IoResult r = line.Read(buffer);

  EXPECT_EQ(Text(buffer, r.bytes), "first\r\nsec");
  EXPECT_EQ(clock_.TickMs(), static_cast<std::uint64_t>((2000000 + 3 * kCharUs9600) / 1000));
}

TEST_F(SimulatedLineTest, WhatArrivedWhileThePcSleptIsReadAtOnce) {
  Exchange exchange(Records({"0123456789"}));
  SimulatedLine line(clock_, exchange);
  ASSERT_TRUE(line.SetTimeouts({1000, 1000}));
  clock_.SleepMs(100);
  std::vector<std::uint8_t> buffer(12);

  IoResult r = line.Read(buffer);

  EXPECT_EQ(Text(buffer, r.bytes), "0123456789\r\n");
  EXPECT_EQ(clock_.TickMs(), 100u);
}

TEST_F(SimulatedLineTest, ReadWithoutTimeOutEndsWhenTheDeviceHasNothingMore) {
  Exchange exchange(Records({"xy"}));
  SimulatedLine line(clock_, exchange);
  ASSERT_TRUE(line.SetTimeouts({0, 0}));
  std::vector<std::uint8_t> buffer(50);

  IoResult r = line.Read(buffer);

  EXPECT_EQ(Text(buffer, r.bytes), "xy\r\n");
  EXPECT_EQ(line.StalledReads(), 1);
}

TEST_F(SimulatedLineTest, NulBytesAreDroppedOnlyWhenTheSettingsSaySo) {
  Exchange keeping(Records({std::string("A\0B", 3)}));
  SimulatedLine keepLine(clock_, keeping);
  keepLine.SetTimeouts({1000, 1000});
  std::vector<std::uint8_t> buffer(5);
  IoResult kept = keepLine.Read(buffer);
  EXPECT_EQ(Text(buffer, kept.bytes), std::string("A\0B\r\n", 5));

  Exchange dropping(Records({std::string("A\0B", 3)}));
  SimulatedLine dropLine(clock_, dropping);
  PortSettings settings;
  settings.discardNull = true;
  ASSERT_TRUE(dropLine.SetSettings(settings));
  dropLine.SetTimeouts({1000, 1000});
  std::vector<std::uint8_t> four(4);
  IoResult dropped = dropLine.Read(four);
  // The NUL does not count towards the read's count either.
  EXPECT_EQ(Text(four, dropped.bytes), "AB\r\n");
}

TEST_F(SimulatedLineTest, WriteHandsEachByteOverOneCharacterTimeApart) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  ASSERT_TRUE(line.SetTimeouts({1000, 1000}));
  const TimeUs startUs = line.NowUs();
  const std::string command = "at&f\n\r";

  IoResult r = line.Write({reinterpret_cast<const std::uint8_t*>(command.data()),
                           command.size()});

  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 6u);
  EXPECT_EQ(line.WrittenBytes(), "at&f\n\r");
  EXPECT_EQ(device.received, "at&f\n\r");
  ASSERT_EQ(line.Written().size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(line.Written()[i].atUs, startUs + static_cast<TimeUs>(i + 1) * kCharUs9600);
    EXPECT_EQ(device.times[i], line.Written()[i].atUs);
  }
  EXPECT_EQ(clock_.TickMs(), static_cast<std::uint64_t>(6 * kCharUs9600 / 1000));
}

TEST_F(SimulatedLineTest, CharacterTimeFollowsBaudAndFrame) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  PortSettings settings;
  settings.baud = 1200;
  settings.byteSize = 7;
  settings.parity = ParityMode::kEven;
  settings.stopBits = StopBitsMode::kTwo;  // 1 + 7 + 1 + 2 = 11 bits
  ASSERT_TRUE(line.SetSettings(settings));
  const TimeUs startUs = line.NowUs();
  const std::uint8_t byte = 'x';

  line.Write({&byte, 1});

  EXPECT_EQ(line.Written().at(0).atUs - startUs, 9167);
}

TEST_F(SimulatedLineTest, WriteStopsAtItsTimeOut) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  ASSERT_TRUE(line.SetTimeouts({1000, 10}));
  const std::vector<std::uint8_t> bytes(20, 'z');

  IoResult r = line.Write(bytes);

  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 9u);  // 10 ms hold nine characters of 1.042 ms
  EXPECT_EQ(device.received, std::string(9, 'z'));
  EXPECT_EQ(clock_.TickMs(), 10u);
}

TEST_F(SimulatedLineTest, ShortWriteOnDemand) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  line.LimitNextWrite(2);
  const std::vector<std::uint8_t> bytes = {'a', 'b', 'c'};

  EXPECT_EQ(line.Write(bytes).bytes, 2u);
  EXPECT_EQ(line.Write(bytes).bytes, 3u);
  EXPECT_EQ(device.received, "ababc");
}

TEST_F(SimulatedLineTest, KeepsWhatWasApplied) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  PortSettings settings;
  settings.baud = 2400;
  settings.inX = true;
  settings.xoffChar = 0x19;

  ASSERT_TRUE(line.SetSettings(settings));
  ASSERT_TRUE(line.SetTimeouts({3000, 500}));
  ASSERT_TRUE(line.SetTimeouts({1000, 1000}));
  ASSERT_TRUE(line.SetQueues(4800, 0));

  EXPECT_EQ(line.CurrentSettings(), settings);
  PortSettings read;
  ASSERT_TRUE(line.GetSettings(read));
  EXPECT_EQ(read, settings);
  LineTimeouts timeouts;
  ASSERT_TRUE(line.GetTimeouts(timeouts));
  EXPECT_EQ(timeouts, (LineTimeouts{1000, 1000}));
  EXPECT_EQ(line.TimeoutsHistory(), (std::vector<LineTimeouts>{{3000, 500}, {1000, 1000}}));
  EXPECT_EQ(line.InputQueueBytes(), 4800u);
  EXPECT_EQ(line.Calls(LineOp::kSetTimeouts), 2);
}

TEST_F(SimulatedLineTest, RefusesSettingsNoDriverTakes) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  PortSettings settings;
  settings.byteSize = 0;

  EXPECT_FALSE(line.SetSettings(settings));
  EXPECT_EQ(line.LastError(), kSimErrorInvalid);
  EXPECT_EQ(line.CurrentSettings().byteSize, 8);
}

TEST_F(SimulatedLineTest, ControlLinesFollowSettingsAndCallsAndReachTheDevice) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  PortSettings settings;
  settings.dtrControl = DtrControl::kDisable;
  settings.rtsControl = RtsControl::kHandshake;

  ASSERT_TRUE(line.SetSettings(settings));
  EXPECT_FALSE(line.Dtr());
  EXPECT_TRUE(line.Rts());
  EXPECT_FALSE(device.lastDtr);

  ASSERT_TRUE(line.SetDtr(true));
  ASSERT_TRUE(line.SetRts(false));
  EXPECT_TRUE(line.Dtr());
  EXPECT_FALSE(line.Rts());
  EXPECT_TRUE(device.lastDtr);
  EXPECT_FALSE(device.lastRts);
}

TEST_F(SimulatedLineTest, CarrierComesFromTheDeviceUnlessForced) {
  QuietDevice device;  // a direct cable: carrier on
  SimulatedLine line(clock_, device);
  EXPECT_TRUE(line.Carrier());
  line.ForceCarrier(false);
  EXPECT_FALSE(line.Carrier());
  line.ForceCarrier(std::nullopt);
  EXPECT_TRUE(line.Carrier());
}

TEST_F(SimulatedLineTest, InjectedFailuresCarryTheirErrorAndRunOut) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  line.FailNext(LineOp::kSetTimeouts, 31, 2);
  line.FailNext(LineOp::kWrite, 1117);
  const std::uint8_t byte = 0x11;

  EXPECT_FALSE(line.SetTimeouts({1000, 1000}));
  EXPECT_EQ(line.LastError(), 31u);
  EXPECT_FALSE(line.SetTimeouts({1000, 1000}));
  EXPECT_TRUE(line.SetTimeouts({1000, 1000}));
  const IoResult failed = line.Write({&byte, 1});
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.error, 1117u);
  EXPECT_EQ(line.LastError(), 1117u);
  EXPECT_TRUE(line.Write({&byte, 1}).ok);
  EXPECT_EQ(device.received, "\x11");
  EXPECT_EQ(line.Calls(LineOp::kSetTimeouts), 3);
}

TEST_F(SimulatedLineTest, FailureForEverUntilCleared) {
  QuietDevice device;
  SimulatedLine line(clock_, device);
  line.FailNext(LineOp::kSetQueues, 87, -1);
  EXPECT_FALSE(line.SetQueues(4800, 0));
  EXPECT_FALSE(line.SetQueues(4800, 0));
  line.FailNext(LineOp::kSetQueues, 0, 0);
  EXPECT_TRUE(line.SetQueues(4800, 0));
}

TEST(SimulatedPortsTest, OpensRegisteredLinesOnceAtATime) {
  ManualClock clock;
  QuietDevice device;
  SimulatedLine line(clock, device);
  SimulatedPorts ports;
  ports.Add("/dev/ttyS0", line);
  std::uint32_t error = 99;

  EXPECT_EQ(ports.Open("/dev/ttyS9", &error), nullptr);
  EXPECT_EQ(error, kSimErrorNotFound);

  auto opened = ports.Open("/dev/ttyS0", &error);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(ports.IsOpen("/dev/ttyS0"));
  EXPECT_EQ(ports.Open("/dev/ttyS0", &error), nullptr);
  EXPECT_EQ(error, kSimErrorBusy);

  // The handle is the line.
  ASSERT_TRUE(opened->SetTimeouts({1000, 1000}));
  EXPECT_EQ(line.CurrentTimeouts(), (LineTimeouts{1000, 1000}));
  EXPECT_EQ(ports.OpenAttempts("/dev/ttyS0"), 2);
  EXPECT_EQ(ports.OpenAttempts("/dev/ttyS9"), 1);
}

TEST(SimulatedPortsTest, ClosingRestoresTheSettingsFoundAtOpeningAndDropsTheLines) {
  ManualClock clock;
  QuietDevice device;
  SimulatedLine line(clock, device);
  SimulatedPorts ports;
  ports.Add("COM2", line);
  const PortSettings atOpen = line.CurrentSettings();
  std::uint32_t error = 0;
  {
    auto opened = ports.Open("COM2", &error);
    PortSettings changed = atOpen;
    changed.baud = 1200;
    changed.outX = true;
    ASSERT_TRUE(opened->SetSettings(changed));
    EXPECT_TRUE(line.Dtr());
  }
  EXPECT_FALSE(ports.IsOpen("COM2"));
  EXPECT_EQ(line.CurrentSettings(), atOpen);
  EXPECT_FALSE(line.Dtr());
  EXPECT_FALSE(line.Rts());
  EXPECT_FALSE(device.lastDtr);
  EXPECT_NE(ports.Open("COM2", &error), nullptr);
}

TEST(SimulatedPortsTest, OpenFailsOnDemand) {
  ManualClock clock;
  QuietDevice device;
  SimulatedLine line(clock, device);
  SimulatedPorts ports;
  ports.Add("COM1", line);
  ports.FailOpen("COM1", 5, 2);
  auto open = ports.AsOpener();
  std::uint32_t error = 0;

  EXPECT_EQ(open("COM1", &error), nullptr);
  EXPECT_EQ(error, 5u);
  EXPECT_EQ(open("COM1", &error), nullptr);
  EXPECT_NE(open("COM1", &error), nullptr);
  EXPECT_EQ(ports.OpenAttempts("COM1"), 3);
}

}  // namespace
}  // namespace vr::sim
