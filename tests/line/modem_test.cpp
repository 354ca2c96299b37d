#include "line/modem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "line/scripted_line.h"
#include "sim/hayes_modem.h"
#include "sim/simulated_line.h"

namespace vr {
namespace {

using Kind = test::ScriptedLine::Event::Kind;

constexpr LineTimeouts kSiteTimeouts{.readTotalMs = 5000, .writeTotalMs = 2000};

// Sizes asked by the reads, in order.
std::vector<std::size_t> ReadSizes(const test::ScriptedLine& line) {
  std::vector<std::size_t> sizes;
  for (const auto& e : line.events)
    if (e.kind == Kind::kRead) sizes.push_back(e.asked);
  return sizes;
}

std::vector<std::uint64_t> WriteTimes(const test::ScriptedLine& line) {
  std::vector<std::uint64_t> times;
  for (const auto& e : line.events)
    if (e.kind == Kind::kWrite) times.push_back(e.atMs);
  return times;
}

class ModemTest : public ::testing::Test {
 protected:
  ModemTest() { line.timeouts = kSiteTimeouts; }

  ModemLink Link() {
    return ModemLink{.line = line,
                     .timeouts = record,
                     .afterTimeouts = kSiteTimeouts,
                     .clock = clock,
                     .stop = stop,
                     .slave = slave,
                     .pumpMessages = [this] { ++pumps; }};
  }
  bool Dial(std::int32_t& budget) {
    ModemLink link = Link();
    return DialModem(link, "ATX3", "0123", budget);
  }
  void HangUp() {
    ModemLink link = Link();
    HangUpModem(link);
  }

  // A modem that answers every command line and raises the carrier when
  // the number has been sent.
  void Answering(bool raisesCarrier = true) {
    line.onWrite = [this, raisesCarrier](std::string_view written) {
      if (written.ends_with("\r")) line.Arrive("\r\nOK\r\n", clock.TickMs() + 20);
      if (written == "0123" && raisesCarrier) line.carrier = true;
    };
  }

  ManualClock clock;
  test::ScriptedLine line{clock};
  LineTimeouts record;
  std::atomic<bool> stop{false};
  bool slave = false;
  int pumps = 0;
};

TEST_F(ModemTest, AnsweringModemConnectsAtTheFirstAttemptWithTheExactBytes) {
  Answering();
  std::int32_t budget = 3;
  EXPECT_TRUE(Dial(budget));
  EXPECT_EQ(budget, 3);
  // Line feed before carriage return, the modem string and the number each
  // in a write of their own.
  EXPECT_EQ(line.Writes(), (std::vector<std::string>{"at&f\n\r", "ATX3", "\n\r", "0123", "\n\r"}));
  const auto sizes = ReadSizes(line);
  ASSERT_EQ(sizes.size(), 3u + 120u);
  EXPECT_EQ(sizes[0], 50u);
  EXPECT_EQ(sizes[1], 50u);
  EXPECT_EQ(sizes[2], 60u);
  EXPECT_TRUE(std::all_of(sizes.begin() + 3, sizes.end(), [](std::size_t n) { return n == 40; }));
  EXPECT_EQ(pumps, 0);  // not in slave mode
}

TEST_F(ModemTest, DialogueRunsWithOneSecondTimeoutsAndPutsThePortsOwnBack) {
  Answering();
  std::int32_t budget = 1;
  ASSERT_TRUE(Dial(budget));
  ASSERT_GE(line.timeoutsApplied.size(), 2u);
  EXPECT_EQ(line.timeoutsApplied.front(), (LineTimeouts{1000, 1000}));
  EXPECT_EQ(line.timeoutsApplied.back(), kSiteTimeouts);
  EXPECT_EQ(line.timeouts, kSiteTimeouts);
  EXPECT_EQ(record, kSiteTimeouts);  // the shared record holds the site's time-outs again
}

TEST_F(ModemTest, SilentModemWithBudgetThreeGivesUpAfterThreeAttemptsOfFiveSeconds) {
  std::int32_t budget = 3;
  EXPECT_FALSE(Dial(budget));
  EXPECT_EQ(budget, 0);
  // No carrier: the hang-ups send nothing.
  EXPECT_EQ(line.Writes(), (std::vector<std::string>(3, "at&f\n\r")));
  EXPECT_EQ(WriteTimes(line), (std::vector<std::uint64_t>{0, 5000, 10000}));
  EXPECT_EQ(ReadSizes(line), std::vector<std::size_t>(15, 50));
  EXPECT_EQ(clock.TickMs(), 15000u);
}

TEST_F(ModemTest, SilentModemInSlaveModeWaitsOneReadPerAttemptAndPumpsMessages) {
  slave = true;
  std::int32_t budget = 3;
  EXPECT_FALSE(Dial(budget));
  EXPECT_EQ(budget, 0);
  EXPECT_EQ(WriteTimes(line), (std::vector<std::uint64_t>{0, 1000, 2000}));
  EXPECT_EQ(pumps, 3);
}

TEST_F(ModemTest, SlaveModePumpsAfterASuccessfulAttemptToo) {
  slave = true;
  Answering();
  std::int32_t budget = 2;
  EXPECT_TRUE(Dial(budget));
  EXPECT_EQ(pumps, 1);
}

TEST_F(ModemTest, BudgetZeroStillDialsOnceAndEndsAtMinusOne) {
  std::int32_t budget = 0;
  EXPECT_FALSE(Dial(budget));
  EXPECT_EQ(budget, -1);
  EXPECT_EQ(line.Writes().size(), 1u);
}

TEST_F(ModemTest, StopFlagEndsTheDiallingAfterTheCurrentAttempt) {
  line.onWrite = [this](std::string_view) { stop = true; };
  std::int32_t budget = 3;
  EXPECT_FALSE(Dial(budget));
  EXPECT_EQ(budget, 2);
  EXPECT_EQ(line.Writes().size(), 1u);
}

TEST_F(ModemTest, ModemThatAnswersWithoutCarrierWaitsTwoMinutesForTheCall) {
  Answering(/*raisesCarrier=*/false);
  std::int32_t budget = 1;
  EXPECT_FALSE(Dial(budget));
  const auto sizes = ReadSizes(line);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 40u), 120);
  // Still no carrier: the hang-up sends nothing.
  EXPECT_EQ(line.Writes().back(), "\n\r");
}

TEST_F(ModemTest, NoAnswerToTheNumberFailsTheAttempt) {
  // Answers the commands but not the number line.
  line.onWrite = [this](std::string_view written) {
    if (written.ends_with("\r") && line.Writes().size() < 4) line.Arrive("OK", clock.TickMs());
  };
  std::int32_t budget = 1;
  EXPECT_FALSE(Dial(budget));
  EXPECT_EQ(ReadSizes(line).back(), 60u);
}

TEST_F(ModemTest, HangUpWithoutCarrierSendsNothing) {
  HangUp();
  EXPECT_TRUE(line.Writes().empty());
  EXPECT_EQ(line.timeouts, kSiteTimeouts);
  EXPECT_EQ(record, kSiteTimeouts);
}

TEST_F(ModemTest, HangUpEscapesAfterTheGuardTimeAndSendsAth) {
  line.carrier = true;
  line.onWrite = [this](std::string_view written) {
    line.Arrive("\r\nOK\r\n", clock.TickMs() + 10);
    if (written == "ath\n\r") line.carrier = false;
  };
  HangUp();
  EXPECT_EQ(line.Writes(), (std::vector<std::string>{"+++", "ath\n\r"}));
  EXPECT_EQ(WriteTimes(line).front(), 1000u);
  EXPECT_EQ(line.timeouts, kSiteTimeouts);
}

TEST_F(ModemTest, HangUpGivesUpAfterElevenPassesOnAModemThatKeepsTheCarrier) {
  line.carrier = true;
  line.onWrite = [this](std::string_view) { line.Arrive("OK", clock.TickMs()); };
  HangUp();
  const auto writes = line.Writes();
  EXPECT_EQ(std::count(writes.begin(), writes.end(), "+++"), 11);
  EXPECT_EQ(std::count(writes.begin(), writes.end(), "ath\n\r"), 11);
}

TEST_F(ModemTest, HangUpWithoutAnswerToTheEscapeSendsNoAth) {
  line.carrier = true;
  HangUp();
  const auto writes = line.Writes();
  EXPECT_EQ(writes, std::vector<std::string>(11, "+++"));
  // Each pass: the guard second and five one-second reads.
  EXPECT_EQ(clock.TickMs(), 11u * 6000u);
}

// --- On the simulated Hayes modem ---

// The far end of the telephone line: says nothing.
class QuietDevice final : public sim::Device {
 public:
  sim::TimeUs NextEventUs() const override { return sim::kNeverUs; }
  void RunUntil(sim::TimeUs, sim::ByteSink&) override {}
  void Receive(std::uint8_t, sim::TimeUs) override {}
};

class SimulatedModemTest : public ::testing::Test {
 protected:
  explicit SimulatedModemTest(sim::ModemConfig config = {}) : modem(remote, config) {
    line.SetTimeouts(kSiteTimeouts);
  }
  ModemLink Link() {
    return ModemLink{.line = line,
                     .timeouts = record,
                     .afterTimeouts = kSiteTimeouts,
                     .clock = clock,
                     .stop = stop,
                     .slave = false,
                     .pumpMessages = nullptr};
  }

  ManualClock clock;
  QuietDevice remote;
  sim::HayesModem modem;
  sim::SimulatedLine line{clock, modem};
  LineTimeouts record;
  std::atomic<bool> stop{false};
};

TEST_F(SimulatedModemTest, AnsweringModemConnectsInOneAttempt) {
  ModemLink link = Link();
  std::int32_t budget = 3;
  EXPECT_TRUE(DialModem(link, "ATX3", "0123", budget));
  EXPECT_EQ(budget, 3);
  EXPECT_EQ(modem.Dials(), 1);
  EXPECT_TRUE(modem.InDataMode());
  EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"at&f", "ATX3", "0123"}));
  EXPECT_EQ(line.WrittenBytes(), "at&f\n\rATX3\n\r0123\n\r");
  EXPECT_EQ(line.CurrentTimeouts(), kSiteTimeouts);
}

TEST_F(SimulatedModemTest, HangUpAfterAConnectionDropsTheCarrier) {
  ModemLink link = Link();
  std::int32_t budget = 1;
  ASSERT_TRUE(DialModem(link, "ATX3", "0123", budget));
  line.ClearWritten();
  HangUpModem(link);
  EXPECT_FALSE(line.Carrier());
  EXPECT_EQ(modem.HangUps(), 1);
  EXPECT_EQ(line.WrittenBytes(), "+++ath\n\r");
  EXPECT_EQ(line.CurrentTimeouts(), kSiteTimeouts);
}

TEST_F(SimulatedModemTest, ConnectionCanBeDialledAgainAfterTheCarrierDropped) {
  ModemLink link = Link();
  std::int32_t budget = 2;
  ASSERT_TRUE(DialModem(link, "ATX3", "0123", budget));
  modem.DropCarrier(line.NowUs());
  ASSERT_FALSE(line.Carrier());
  EXPECT_TRUE(DialModem(link, "ATX3", "0123", budget));
  EXPECT_EQ(modem.Dials(), 2);
  EXPECT_EQ(budget, 2);
}

class SilentSimulatedModemTest : public SimulatedModemTest {
 protected:
  SilentSimulatedModemTest() : SimulatedModemTest(sim::ModemConfig{.answers = false}) {}
};

TEST_F(SilentSimulatedModemTest, GivesUpAfterTheBudgetAtFiveSecondsAnAttempt) {
  ModemLink link = Link();
  std::int32_t budget = 3;
  const std::uint64_t start = clock.TickMs();
  EXPECT_FALSE(DialModem(link, "ATX3", "0123", budget));
  EXPECT_EQ(budget, 0);
  EXPECT_EQ(modem.Dials(), 0);
  EXPECT_EQ(line.WrittenBytes(), "at&f\n\rat&f\n\rat&f\n\r");
  // Five one-second reads per attempt; writing 6 bytes at 9600 baud adds a few ms.
  EXPECT_GE(clock.TickMs() - start, 15000u);
  EXPECT_LT(clock.TickMs() - start, 15100u);
}

class NoCarrierSimulatedModemTest : public SimulatedModemTest {
 protected:
  NoCarrierSimulatedModemTest()
      : SimulatedModemTest(sim::ModemConfig{.dialResult = sim::DialResult::kNoCarrier}) {}
};

TEST_F(NoCarrierSimulatedModemTest, NoCarrierAnswerFailsTheAttemptAndTheNextOneDialsAgain) {
  ModemLink link = Link();
  std::int32_t budget = 2;
  EXPECT_FALSE(DialModem(link, "ATX3", "0123", budget));
  EXPECT_EQ(budget, 0);
  EXPECT_EQ(modem.Dials(), 2);
}

}  // namespace
}  // namespace vr
