#include "acquisition/flow_control.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "line/forwarding_line.h"
#include "line/scripted_line.h"
#include "sim/exchange.h"
#include "sim/kestrel_box.h"
#include "sim/records.h"
#include "sim/simulated_line.h"
#include "support/recording_notifier.h"

namespace vr {
namespace {

using test::Bytes;
using Kind = test::ScriptedLine::Event::Kind;

class RecordingIcons final : public IconDisplay {
 public:
  void ShowIcon(TrayIcon icon) override { shown.push_back(icon); }
  std::vector<TrayIcon> shown;
};

// Forwards to a scripted line, which records flow characters as ordinary
// writes, and keeps apart the bytes that were sent as flow characters.
class FlowCharLine final : public ForwardingLine {
 public:
  explicit FlowCharLine(test::ScriptedLine& line)
      : ForwardingLine(std::make_unique<test::ScriptedLineHandle>(line)) {}
  IoResult SendFlowChar(std::uint8_t byte) override {
    flowChars.push_back(static_cast<char>(byte));
    return Write(std::span(&byte, 1));
  }

  std::string flowChars;
};

// A control-line change, for comparing sequences.
struct LineChange {
  Kind kind;
  bool on;
  friend bool operator==(const LineChange&, const LineChange&) = default;
};

class FlowControlTest : public ::testing::Test {
 protected:
  FlowControlTest() {
    line.timeouts = {.readTotalMs = 1000, .writeTotalMs = 1000};
    site.deviceType = DeviceType::kCom;
    lineSettings.handshake = Handshake::kXon;
  }

  ExchangeLink Link() {
    return ExchangeLink{.line = flowLine,
                        .site = site,
                        .lineSettings = lineSettings,
                        .state = state,
                        .stop = stop,
                        .icons = icons,
                        .clock = clock,
                        .notifier = &notifier};
  }
  void Hold(bool waitEcho, bool force) {
    ExchangeLink link = Link();
    HoldExchange(link, waitEcho, force);
  }
  void Release(bool statusForm, bool twice) {
    ExchangeLink link = Link();
    ReleaseExchange(link, statusForm, twice);
  }
  std::size_t DebugNotes() const { return notifier.Values(Message::kDebug).size(); }
  std::vector<LineChange> LineChanges() const {
    std::vector<LineChange> changes;
    for (const auto& e : line.events)
      if (e.kind == Kind::kDtr || e.kind == Kind::kRts) changes.push_back({e.kind, e.on});
    return changes;
  }
  void Echoing() {
    line.onWrite = [this](std::string_view written) { line.Arrive(written); };
  }
  void Forget() {
    line.events.clear();
    flowLine.flowChars.clear();
    icons.shown.clear();
  }

  ManualClock clock;
  test::ScriptedLine line{clock};
  FlowCharLine flowLine{line};
  test::RecordingNotifier notifier;
  SiteSettings site;
  LineSettings lineSettings;
  FlowState state;
  std::atomic<bool> stop{false};
  RecordingIcons icons;
};

TEST_F(FlowControlTest, StartsHeldSoTheFirstHoldDoesNothing) {
  Hold(false, false);
  EXPECT_TRUE(line.events.empty());
  EXPECT_TRUE(icons.shown.empty());
}

TEST_F(FlowControlTest, XonReleaseWritesXonAndShowsTheReceivingIcon) {
  Release(false, false);
  EXPECT_EQ(line.Writes(), std::vector<std::string>{Bytes({0x11})});
  EXPECT_EQ(flowLine.flowChars, Bytes({0x11}));
  EXPECT_EQ(icons.shown, std::vector<TrayIcon>{TrayIcon::kReceiving});
  EXPECT_FALSE(state.held);
}

TEST_F(FlowControlTest, TwoHoldsInARowSendOneXoff) {
  Release(false, false);
  Forget();
  Hold(false, false);
  Hold(false, false);
  EXPECT_EQ(line.Writes(), std::vector<std::string>{Bytes({0x13})});
  EXPECT_EQ(flowLine.flowChars, Bytes({0x13}));
  EXPECT_EQ(icons.shown, std::vector<TrayIcon>{TrayIcon::kHeld});
  EXPECT_TRUE(state.held);
}

TEST_F(FlowControlTest, ForcedHoldSendsXoffEvenWhenHeldAndNothingElse) {
  Hold(true, true);
  EXPECT_EQ(line.Writes(), std::vector<std::string>{Bytes({0x13})});
  // An exchange gets its XOFF only: no box hold command and no echo awaited.
  EXPECT_EQ(line.Reads(), 0);
  EXPECT_EQ(icons.shown, std::vector<TrayIcon>{TrayIcon::kHeld});
}

TEST_F(FlowControlTest, ReleaseTwiceSendsXonTwiceAsFlowCharacters) {
  Release(false, true);
  // A flow character goes out one at a time: two sends, not one write of two.
  EXPECT_EQ(line.Writes(), (std::vector<std::string>{Bytes({0x11}), Bytes({0x11})}));
  EXPECT_EQ(flowLine.flowChars, Bytes({0x11, 0x11}));
}

TEST_F(FlowControlTest, ReleaseWhenReleasedDoesNothing) {
  Release(false, false);
  Forget();
  Release(false, true);
  EXPECT_TRUE(line.events.empty());
  EXPECT_TRUE(icons.shown.empty());
}

TEST_F(FlowControlTest, IdleNudgeOfAnXonExchangeSendsXoffThenXonTwice) {
  Release(false, false);
  Forget();
  Hold(true, true);
  Release(false, true);
  EXPECT_EQ(line.Written(), Bytes({0x13, 0x11, 0x11}));
  EXPECT_EQ(flowLine.flowChars, line.Written());
}

TEST_F(FlowControlTest, XonUsesTheConfiguredCharacters) {
  lineSettings.xonChar = 'Q';
  lineSettings.xoffChar = 'S';
  // Without control pins the driver does no XON/XOFF of its own, but the
  // recorder's characters still go out as flow characters.
  for (const bool noControlPins : {false, true}) {
    SCOPED_TRACE(noControlPins);
    lineSettings.noControlPins = noControlPins;
    Forget();
    Release(false, false);
    Hold(false, false);
    EXPECT_EQ(line.Written(), "QS");
    EXPECT_EQ(flowLine.flowChars, "QS");
  }
}

TEST_F(FlowControlTest, OutputHeldPastTheWriteTimeOutIsLoggedOncePerEpisode) {
  enum class Op { kHold, kForcedHold, kRelease, kReleaseTwice };
  // Each step: what its writes get through, one entry a write (none left:
  // all), and the held-output notes posted by then.
  struct Step {
    const char* what;
    Op op;
    std::deque<std::size_t> limits;
    std::size_t notes;
  };
  const Step steps[] = {
      {"release goes out", Op::kRelease, {}, 0},
      {"hold held back", Op::kForcedHold, {0}, 1},
      {"both XON held back", Op::kReleaseTwice, {0, 0}, 1},
      {"hold held back again", Op::kForcedHold, {0}, 1},
      {"release goes out: the episode ends", Op::kRelease, {}, 1},
      {"hold held back: a new episode", Op::kHold, {0}, 2},
      {"only the second XON goes out", Op::kReleaseTwice, {0}, 2},
      {"held once more", Op::kHold, {0}, 3},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    line.writeLimits = step.limits;
    switch (step.op) {
      case Op::kHold:
        Hold(false, false);
        break;
      case Op::kForcedHold:
        Hold(true, true);
        break;
      case Op::kRelease:
        Release(false, false);
        break;
      case Op::kReleaseTwice:
        Release(false, true);
        break;
    }
    EXPECT_TRUE(line.writeLimits.empty());  // the step made the writes it meant to
    EXPECT_EQ(DebugNotes(), step.notes);
  }
  for (const auto& note : notifier.Notes()) {
    EXPECT_EQ(note.message, Message::kDebug);
    EXPECT_FALSE(note.sent);  // posted: the worker does not wait for the window
  }
}

TEST_F(FlowControlTest, NoneHandshakeSendsNothingButSwitchesTheIcon) {
  lineSettings.handshake = Handshake::kNone;
  Release(false, false);
  Hold(false, false);
  Hold(true, true);
  EXPECT_TRUE(line.events.empty());
  EXPECT_EQ(icons.shown,
            (std::vector<TrayIcon>{TrayIcon::kReceiving, TrayIcon::kHeld, TrayIcon::kHeld}));
}

TEST_F(FlowControlTest, HdwWithStartStopMovesDtrThenRtsAtEveryHoldAndRelease) {
  lineSettings.handshake = Handshake::kHdw;
  site.startStop = true;
  Release(false, false);
  Hold(false, false);
  Release(false, false);
  const auto kDtr = Kind::kDtr;
  const auto kRts = Kind::kRts;
  EXPECT_EQ(
      LineChanges(),
      (std::vector<LineChange>{
          {kDtr, true}, {kRts, true}, {kDtr, false}, {kRts, false}, {kDtr, true}, {kRts, true}}));
  EXPECT_TRUE(line.Written().empty());
}

TEST_F(FlowControlTest, HdwWithoutStartStopMovesTheLinesOnlyAroundConnections) {
  lineSettings.handshake = Handshake::kHdw;
  site.startStop = false;
  // First release of a connection: the lines are raised (the mark is set at start).
  Release(false, false);
  EXPECT_EQ(LineChanges(), (std::vector<LineChange>{{Kind::kDtr, true}, {Kind::kRts, true}}));
  EXPECT_FALSE(state.linesLowered);
  Forget();
  // During the connection: nothing.
  Hold(false, false);
  Release(false, false);
  Hold(false, false);
  EXPECT_TRUE(LineChanges().empty());
  // The end: StopFlag set, the drain's forced hold drops the lines.
  stop = true;
  Hold(true, true);
  EXPECT_EQ(LineChanges(), (std::vector<LineChange>{{Kind::kDtr, false}, {Kind::kRts, false}}));
  EXPECT_TRUE(state.linesLowered);
  Forget();
  // The next connection's first release raises them again.
  stop = false;
  Release(false, false);
  EXPECT_EQ(LineChanges(), (std::vector<LineChange>{{Kind::kDtr, true}, {Kind::kRts, true}}));
  Forget();
  Hold(false, false);
  Release(false, false);
  EXPECT_TRUE(LineChanges().empty());
}

TEST_F(FlowControlTest, TerminatedBoxIsHeldWithTheHoldCommandAndResumedWithItsEcho) {
  site.deviceType = DeviceType::kKstb;
  Echoing();
  Release(false, false);
  EXPECT_TRUE(state.boxAcknowledged);
  Hold(false, false);
  EXPECT_EQ(line.Writes(), (std::vector<std::string>{Bytes({0x11}), Bytes({0x13})}));
  // Resume: its echo read; hold without waitEcho: no read.
  EXPECT_EQ(line.Reads(), 1);
  EXPECT_EQ(icons.shown, (std::vector<TrayIcon>{TrayIcon::kReceiving, TrayIcon::kHeld}));
}

TEST_F(FlowControlTest, BoxHoldWithWaitEchoReadsTheEcho) {
  site.deviceType = DeviceType::kKsta;
  Echoing();
  Hold(true, true);
  EXPECT_EQ(line.Written(), Bytes({0x13}));
  EXPECT_EQ(line.Reads(), 1);
  EXPECT_EQ(line.PendingBytes(), 0u);
}

TEST_F(FlowControlTest, UnansweredResumeIsSentThreeTimesASecondApartThenCleared) {
  site.deviceType = DeviceType::kKstc;
  state.boxAcknowledged = true;
  Release(false, false);
  EXPECT_FALSE(state.boxAcknowledged);
  EXPECT_EQ(line.Writes(), (std::vector<std::string>(3, Bytes({0x11}))));
  // Each send reads twice (1 s each), then 1 s passes before the next send.
  std::vector<std::uint64_t> writeTimes;
  for (const auto& e : line.events)
    if (e.kind == Kind::kWrite) writeTimes.push_back(e.atMs);
  EXPECT_EQ(writeTimes, (std::vector<std::uint64_t>{0, 3000, 6000}));
  EXPECT_EQ(icons.shown, std::vector<TrayIcon>{TrayIcon::kReceiving});
  EXPECT_FALSE(state.held);
}

TEST_F(FlowControlTest, ResumeAnsweredAtTheThirdSendLeavesTheBoxAcknowledged) {
  site.deviceType = DeviceType::kKstb;
  int sends = 0;
  line.onWrite = [&](std::string_view written) {
    if (++sends == 3) line.Arrive(written);
  };
  Release(false, false);
  EXPECT_TRUE(state.boxAcknowledged);
  EXPECT_EQ(sends, 3);
}

TEST_F(FlowControlTest, StatusFormReleaseSendsStx) {
  site.deviceType = DeviceType::kKstd;
  Echoing();
  Release(true, false);
  EXPECT_EQ(line.Written(), Bytes({0x02}));
}

TEST_F(FlowControlTest, KstdIsHeldOnlyByForcedHolds) {
  site.deviceType = DeviceType::kKstd;
  Echoing();
  Release(false, false);
  Forget();
  Hold(false, false);
  EXPECT_TRUE(line.events.empty());
  EXPECT_EQ(icons.shown, std::vector<TrayIcon>{TrayIcon::kHeld});
  Hold(true, true);
  EXPECT_EQ(line.Written(), Bytes({0x13}));
  EXPECT_EQ(line.Reads(), 1);
}

TEST_F(FlowControlTest, TcpipGetsOnlyTheForcedHoldCommand) {
  site.deviceType = DeviceType::kTcpip;
  Release(false, true);
  Hold(false, false);
  EXPECT_TRUE(line.events.empty());
  Release(false, false);
  Hold(false, true);
  EXPECT_EQ(line.Written(), Bytes({0x13}));
  EXPECT_EQ(icons.shown, (std::vector<TrayIcon>{TrayIcon::kReceiving, TrayIcon::kHeld,
                                                TrayIcon::kReceiving, TrayIcon::kHeld}));
}

// --- The status query ---

TEST_F(FlowControlTest, KstdStatusQueryIsHoldStatusRequestReplyHold) {
  site.deviceType = DeviceType::kKstd;
  const std::string status = "STATUS 0000100 FREE 0000000 ABCDEFGHIJK";
  line.onWrite = [&](std::string_view written) {
    line.Arrive(written);
    if (written == Bytes({0x02})) line.Arrive(status, clock.TickMs() + 40);
  };
  std::vector<std::uint8_t> buffer(8193, 0xEE);
  ExchangeLink link = Link();
  const StatusQueryResult r = QueryBoxStatus(link, buffer, 8192);
  EXPECT_EQ(line.Writes(), (std::vector<std::string>{Bytes({0x13}), Bytes({0x02}), Bytes({0x13})}));
  EXPECT_EQ(r.replyBytes, 39u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 39), status);
  EXPECT_EQ(buffer[39], 0);
  EXPECT_TRUE(r.reading.numberRead);
  EXPECT_TRUE(r.reading.mayEnd);
  EXPECT_TRUE(state.held);
}

TEST_F(FlowControlTest, KstdStatusQueryWithAFullBoxLetsTheConnectionGoOn) {
  site.deviceType = DeviceType::kKstd;
  line.onWrite = [&](std::string_view written) {
    line.Arrive(written);
    if (written == Bytes({0x02})) line.Arrive("STATUS 0099999 FREE 0000000 ABCDEFGHIJK");
  };
  std::vector<std::uint8_t> buffer(100);
  ExchangeLink link = Link();
  const StatusQueryResult r = QueryBoxStatus(link, buffer, 8192);
  EXPECT_TRUE(r.reading.numberRead);
  EXPECT_FALSE(r.reading.mayEnd);
}

TEST_F(FlowControlTest, TerminatedBoxStatusQueryReadsTheChecksumAfterTheHold) {
  site.deviceType = DeviceType::kKstb;
  const std::string text = "KSTB OK  00 RECORDS";
  const auto sum = static_cast<char>(
      AdditiveChecksum(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
  line.onWrite = [&](std::string_view written) {
    line.Arrive(written);
    if (written == Bytes({0x02})) line.Arrive(text);
    if (written == Bytes({0x13})) line.Arrive(std::string(1, sum), clock.TickMs() + 2);
  };
  // A box is held after a chunk; the query releases it in the status form.
  std::vector<std::uint8_t> buffer(2401);
  ExchangeLink link = Link();
  const StatusQueryResult r = QueryBoxStatus(link, buffer, 2400);
  EXPECT_EQ(line.Writes(), (std::vector<std::string>{Bytes({0x02}), Bytes({0x13})}));
  EXPECT_EQ(r.replyBytes, text.size());
  EXPECT_TRUE(r.reading.numberRead);
  EXPECT_TRUE(r.reading.mayEnd);
  EXPECT_EQ(line.PendingBytes(), 0u);
}

TEST_F(FlowControlTest, TerminatedBoxStatusWithoutChecksumIsNoAnswer) {
  site.deviceType = DeviceType::kKsta;
  line.onWrite = [&](std::string_view written) {
    line.Arrive(written);
    if (written == Bytes({0x02})) line.Arrive("KSTA OK  00 RECORDS");
  };
  std::vector<std::uint8_t> buffer(2401);
  ExchangeLink link = Link();
  const StatusQueryResult r = QueryBoxStatus(link, buffer, 2400);
  EXPECT_FALSE(r.reading.numberRead);
  EXPECT_FALSE(r.reading.mayEnd);
}

// --- Against the simulated devices ---

// The line, settings and state of one connection to a simulated device.
class SimulatedFlowTest : public ::testing::Test {
 protected:
  void Connect(sim::Device& device) {
    line = std::make_unique<sim::SimulatedLine>(clock, device);
    line->SetTimeouts({.readTotalMs = 1000, .writeTotalMs = 1000});
  }
  ExchangeLink Link() {
    return ExchangeLink{.line = *line,
                        .site = site,
                        .lineSettings = lineSettings,
                        .state = state,
                        .stop = stop,
                        .icons = icons,
                        .clock = clock};
  }
  void Hold(bool waitEcho, bool force) {
    ExchangeLink link = Link();
    HoldExchange(link, waitEcho, force);
  }
  void Release(bool statusForm, bool twice) {
    ExchangeLink link = Link();
    ReleaseExchange(link, statusForm, twice);
  }
  std::string Read(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    const IoResult r = line->Read(bytes);
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(r.bytes));
  }

  ManualClock clock;
  std::unique_ptr<sim::SimulatedLine> line;
  SiteSettings site;
  LineSettings lineSettings;
  FlowState state;
  std::atomic<bool> stop{false};
  RecordingIcons icons;
};

TEST_F(SimulatedFlowTest, XonXoffExchangeStopsWhileHeldAndLosesNothing) {
  sim::ExchangeConfig config;
  config.generatedRecords = 6;
  config.flow = sim::ExchangeFlow::kXonXoff;
  sim::Exchange exchange(config);
  Connect(exchange);
  site.deviceType = DeviceType::kCom;
  lineSettings.handshake = Handshake::kXon;
  // The connection starts held: at most the character on the wire comes
  // before the first release.
  line->Write(std::span<const std::uint8_t>(&lineSettings.xoffChar, 1));
  std::string received = Read(100);
  EXPECT_LE(received.size(), 1u);
  EXPECT_EQ(Read(100), "");

  Release(false, false);
  received += Read(100);
  Hold(false, false);
  EXPECT_TRUE(exchange.Held());
  const std::string whileHeld = Read(1000);
  EXPECT_LE(whileHeld.size(), 1u);  // at most the character on the wire
  received += whileHeld;
  Release(false, true);
  for (std::string part = Read(4096); !part.empty(); part = Read(4096)) received += part;
  std::string expected;
  for (const std::string& r : sim::MakeCallRecords(6, 1)) expected += r + "\r\n";
  EXPECT_EQ(received, expected);
  EXPECT_EQ(exchange.Received(), "\x13\x11\x13\x11\x11");
}

TEST_F(SimulatedFlowTest, DtrRtsExchangeIsHeldByTheLinesWithStartStop) {
  sim::ExchangeConfig config;
  config.generatedRecords = 3;
  config.flow = sim::ExchangeFlow::kDtrRts;
  sim::Exchange exchange(config);
  Connect(exchange);
  site.deviceType = DeviceType::kCom;
  site.startStop = true;
  lineSettings.handshake = Handshake::kHdw;
  line->SetDtr(false);
  line->SetRts(false);

  Release(false, false);
  EXPECT_TRUE(line->Dtr());
  EXPECT_TRUE(line->Rts());
  EXPECT_EQ(Read(10).size(), 10u);
  Hold(false, false);
  EXPECT_FALSE(line->Dtr());
  EXPECT_FALSE(line->Rts());
  EXPECT_TRUE(exchange.Held());
  EXPECT_TRUE(line->WrittenBytes().empty());
}

TEST_F(SimulatedFlowTest, DtrRtsExchangeWithoutStartStopIsHeldOnlyAtTheEnd) {
  sim::ExchangeConfig config;
  config.generatedRecords = 3;
  config.flow = sim::ExchangeFlow::kDtrRts;
  sim::Exchange exchange(config);
  Connect(exchange);
  site.deviceType = DeviceType::kCom;
  site.startStop = false;
  lineSettings.handshake = Handshake::kHdw;

  Release(false, false);
  Read(10);
  Hold(false, false);
  EXPECT_FALSE(exchange.Held());  // the exchange goes on while the chunk is stored
  Release(false, false);
  stop = true;
  Hold(true, true);
  EXPECT_TRUE(exchange.Held());
  EXPECT_FALSE(line->Dtr());
  EXPECT_FALSE(line->Rts());
}

TEST_F(SimulatedFlowTest, BoxThatMissesTwoResumeEchoesIsAcknowledgedAtTheThirdSend) {
  sim::KestrelConfig config;
  config.model = sim::KestrelModel::kKstb;
  config.generatedRecords = 0;
  sim::KestrelBox box(config);
  Connect(box);
  site.deviceType = DeviceType::kKstb;
  box.DropEcho(sim::kBoxResume, 2);
  const std::uint64_t start = clock.TickMs();
  Release(false, false);
  EXPECT_TRUE(state.boxAcknowledged);
  EXPECT_EQ(box.Received(), "\x11\x11\x11");
  // Two failed sends of two reads each, and a second before each resend.
  EXPECT_GE(clock.TickMs() - start, 6000u);
}

TEST_F(SimulatedFlowTest, BoxThatNeverEchoesTheResumeIsLeftUnacknowledged) {
  sim::KestrelConfig config;
  config.model = sim::KestrelModel::kKsta;
  config.generatedRecords = 0;
  sim::KestrelBox box(config);
  Connect(box);
  site.deviceType = DeviceType::kKsta;
  box.DropEcho(sim::kBoxResume, -1);
  Release(false, false);
  EXPECT_FALSE(state.boxAcknowledged);
  EXPECT_EQ(box.Received(), "\x11\x11\x11");
}

TEST_F(SimulatedFlowTest, StatusQueryOfAKstdBox) {
  sim::KestrelConfig config;
  config.model = sim::KestrelModel::kKstd;
  config.generatedRecords = 5;
  sim::KestrelBox box(config);
  Connect(box);
  site.deviceType = DeviceType::kKstd;
  std::vector<std::uint8_t> buffer(8193);
  ExchangeLink link = Link();
  StatusQueryResult r = QueryBoxStatus(link, buffer, 8192);
  EXPECT_EQ(box.Received(), "\x13\x02\x13");
  EXPECT_EQ(r.replyBytes, 39u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 39), box.StatusText());
  EXPECT_TRUE(r.reading.numberRead);
  EXPECT_TRUE(r.reading.mayEnd);

  box.SetStatusNumber(50000);
  r = QueryBoxStatus(link, buffer, 8192);
  EXPECT_TRUE(r.reading.numberRead);
  EXPECT_FALSE(r.reading.mayEnd);
}

TEST_F(SimulatedFlowTest, StatusQueryOfATerminatedBox) {
  sim::KestrelConfig config;
  config.model = sim::KestrelModel::kKstc;
  config.generatedRecords = 4;
  sim::KestrelBox box(config);
  Connect(box);
  site.deviceType = DeviceType::kKstc;
  std::vector<std::uint8_t> buffer(2401);
  ExchangeLink link = Link();
  StatusQueryResult r = QueryBoxStatus(link, buffer, 2400);
  EXPECT_EQ(box.Received(), "\x02\x13");
  EXPECT_TRUE(r.reading.numberRead);
  EXPECT_FALSE(r.reading.mayEnd);  // four records stored
  EXPECT_EQ(line->PendingInputBytes(), 0u);

  box.SetStatusNumber(0);
  r = QueryBoxStatus(link, buffer, 2400);
  EXPECT_TRUE(r.reading.numberRead);
  EXPECT_TRUE(r.reading.mayEnd);

  box.InjectFault(sim::BoxFault::kBadChecksum);
  r = QueryBoxStatus(link, buffer, 2400);
  EXPECT_FALSE(r.reading.numberRead);
  EXPECT_FALSE(r.reading.mayEnd);
}

}  // namespace
}  // namespace vr
