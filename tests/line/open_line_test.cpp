#include "line/open_line.h"

#include <gtest/gtest.h>

#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "line/scripted_line.h"
#include "log/strings.h"
#include "support/recording_notifier.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using test::RecordingNotifier;
using Note = RecordingNotifier::Note;

constexpr const char* kSite = "S1";
constexpr const char* kPort = "/dev/ttyTEST";

Note Error(int id) { return {Message::kError, static_cast<std::uint32_t>(id), kSite, false}; }
Note SystemError(std::uint32_t code) { return {Message::kSystemError, code, kSite, false}; }

class OpenLineTest : public ::testing::Test {
 protected:
  OpenLineTest() {
    site.deviceType = DeviceType::kCom;
    site.sTimeReadMs = 1000;
    site.sTimeWriteMs = 500;
    site.mTimeReadMs = 3000;
    site.mTimeWriteMs = 1500;
    WriteSite({});
  }

  // The site's section: a direct 9600 8N1 XON line, with keys changed or
  // (with an empty optional) removed.
  void WriteSite(const std::map<std::string, std::optional<std::string>>& changes) {
    std::map<std::string, std::optional<std::string>> keys = {
        {"Modem", "0"},  {"Baud", "9600"}, {"BitDati", "8"},
        {"Parita", "N"}, {"Stop", "1"},    {"Handshake", "XON"},
        {"Xon", "17"},   {"Xoff", "19"},   {"TimeoutFineImp", "30"}};
    for (const auto& [key, value] : changes) keys[key] = value;
    std::string text = std::string("[General]\nCom=") + kPort + "\n[" + kSite + "]\n";
    for (const auto& [key, value] : keys)
      if (value) text += key + "=" + *value + "\n";
    dir.Write("VESPREC.INI", text);
  }

  LineEnvironment Env() {
    return LineEnvironment{
        .profile = profile,
        .portName = kPort,
        .notifier = notifier,
        .stop = stop,
        .clock = clock,
        .open = [this](const std::string& name, std::uint32_t* error) -> std::unique_ptr<Line> {
          ++opens;
          EXPECT_EQ(name, kPort);
          if (onOpen) onOpen();
          if (openFailures != 0) {
            if (openFailures > 0) --openFailures;
            *error = openError;
            return nullptr;
          }
          *error = 0;
          return std::make_unique<test::ScriptedLineHandle>(line);
        },
        .resizeBuffers =
            [this](std::uint32_t bytes) {
              resizes.push_back(bytes);
              if (throwOnResize) throw std::bad_alloc();
              return resizeOk;
            },
        .slave = false,
        .pumpMessages = nullptr,
    };
  }

  int Open(std::int32_t attempts, bool synchronous = false) {
    LineEnvironment env = Env();
    return OpenLine(env, kSite, site, lineSettings, state, attempts, synchronous);
  }

  test::TempDir dir;
  Profile profile{dir.File("VESPREC.INI")};
  ManualClock clock;
  std::atomic<bool> stop{false};
  RecordingNotifier notifier;
  SiteSettings site;
  LineSettings lineSettings;
  // Before state: a line left open in state is a handle on it, which counts
  // its closing there when state goes.
  test::ScriptedLine line{clock};
  LineState state;

  int opens = 0;
  int openFailures = 0;  // < 0: every open fails
  std::uint32_t openError = 2;
  std::function<void()> onOpen;
  std::vector<std::uint32_t> resizes;
  bool resizeOk = true;
  bool throwOnResize = false;
};

TEST_F(OpenLineTest, MissingPortIsTriedImportazioneTimesThenReportedWithSystemError) {
  openFailures = -1;
  EXPECT_EQ(Open(3), msg::kPortConnect);
  EXPECT_EQ(opens, 3);
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kPortConnect), SystemError(2)}));
  EXPECT_EQ(state.line, nullptr);
}

TEST_F(OpenLineTest, ZeroOrNegativeBudgetStillMakesOneAttempt) {
  openFailures = -1;
  EXPECT_EQ(Open(0), msg::kPortConnect);
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(Open(-4), msg::kPortConnect);
  EXPECT_EQ(opens, 2);
}

TEST_F(OpenLineTest, StopFlagEndsTheRetriesAfterTheCurrentAttempt) {
  openFailures = -1;
  onOpen = [this] { stop = true; };
  EXPECT_EQ(Open(3), msg::kPortConnect);
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kPortConnect), SystemError(2)}));
}

TEST_F(OpenLineTest, BusyPortOpensAtALaterAttemptWithoutReports) {
  openFailures = 2;
  openError = 16;
  EXPECT_EQ(Open(3), 0);
  EXPECT_EQ(opens, 3);
  EXPECT_TRUE(notifier.Notes().empty());
  ASSERT_NE(state.line, nullptr);
  EXPECT_EQ(line.closes, 0);
}

TEST_F(OpenLineTest, MissingKeyIsReportedAndNeverRetried) {
  WriteSite({{"BitDati", std::nullopt}});
  EXPECT_EQ(Open(3), msg::kSiteSettings);
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kBitDati), Error(msg::kPortConnect)}));
  EXPECT_EQ(line.closes, 1);
  EXPECT_EQ(state.line, nullptr);
  EXPECT_TRUE(line.settingsApplied.empty());
}

TEST_F(OpenLineTest, BaudOfOneIsReportedAndTheBuffersAreNotResized) {
  WriteSite({{"Baud", "1"}});
  EXPECT_EQ(Open(1), msg::kSiteSettings);
  EXPECT_TRUE(resizes.empty());
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kBaud), Error(msg::kPortConnect)}));
}

TEST_F(OpenLineTest, KstdAt9600KeepsFullBlockReadsAndRaisesItsReadTimeoutTo7000) {
  site.deviceType = DeviceType::kKstd;
  site.sTimeReadMs = 5000;
  ASSERT_EQ(Open(1), 0);
  EXPECT_EQ(resizes, std::vector<std::uint32_t>{8192});
  EXPECT_EQ(state.readChunkBytes, 8192u);
  EXPECT_EQ(site.sTimeReadMs, 7000u);
  EXPECT_EQ(line.timeouts, (LineTimeouts{.readTotalMs = 7000, .writeTotalMs = 500}));
  EXPECT_EQ(state.timeouts, line.timeouts);
  EXPECT_EQ(line.queuesApplied, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{4800, 0}}));
}

TEST_F(OpenLineTest, KstdKeepsALongerConfiguredReadTimeout) {
  site.deviceType = DeviceType::kKstd;
  site.sTimeReadMs = 9000;
  ASSERT_EQ(Open(1), 0);
  EXPECT_EQ(site.sTimeReadMs, 9000u);
}

TEST_F(OpenLineTest, ComAt9600With2000MsReadsGetsA3600ByteChunk) {
  site.sTimeReadMs = 2000;
  ASSERT_EQ(Open(1), 0);
  EXPECT_EQ(resizes, std::vector<std::uint32_t>{3600});
  EXPECT_EQ(state.readChunkBytes, 3600u);
  EXPECT_TRUE(line.queuesApplied.empty());
}

TEST_F(OpenLineTest, BufferFailureGives7008AndIsRetried) {
  resizeOk = false;
  EXPECT_EQ(Open(2), msg::kBufferAlloc);
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(line.closes, 2);
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kPortConnect), Error(msg::kBufferAlloc)}));
}

TEST_F(OpenLineTest, FaultyKeyAfterBaudOutranksABufferFailure) {
  resizeOk = false;
  WriteSite({{"TimeoutFineImp", std::nullopt}});
  EXPECT_EQ(Open(2), msg::kSiteSettings);
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kTimeoutFineImp), Error(msg::kPortConnect)}));
}

TEST_F(OpenLineTest, BufferFailureRightAfterBaudOutranksAMissingModemKey) {
  // The buffers are sized as soon as Baud is read, after Modem.
  resizeOk = false;
  WriteSite({{"Modem", std::nullopt}});
  EXPECT_EQ(Open(1), msg::kBufferAlloc);
  EXPECT_EQ(notifier.Notes(),
            (std::vector{Error(msg::kModem), Error(msg::kPortConnect), Error(msg::kBufferAlloc)}));
}

TEST_F(OpenLineTest, PortGetsTheLineSettingsAndTheFixedFields) {
  WriteSite({{"Baud", "19200bps"},
             {"BitDati", "263"},  // only the low 8 bits count: 7
             {"Parita", "odd"},
             {"Stop", "2"},
             {"Xon", "81"},
             {"Xoff", "83"}});
  site.eliminaNull = 3;
  line.settings.errorCharOn = true;
  line.settings.abortOnError = true;
  line.settings.binary = false;
  ASSERT_EQ(Open(1), 0);
  ASSERT_EQ(line.settingsApplied.size(), 1u);
  const PortSettings& p = line.settingsApplied[0];
  EXPECT_EQ(p.baud, 19200u);
  EXPECT_EQ(p.byteSize, 7);
  EXPECT_EQ(p.parity, ParityMode::kOdd);
  EXPECT_EQ(p.stopBits, StopBitsMode::kTwo);
  EXPECT_EQ(p.xonChar, 0x51);
  EXPECT_EQ(p.xoffChar, 0x53);
  EXPECT_EQ(p.errorChar, 0x47);
  EXPECT_EQ(p.eofChar, 0xFF);
  EXPECT_TRUE(p.binary);
  EXPECT_TRUE(p.parityCheck);
  EXPECT_FALSE(p.errorCharOn);
  EXPECT_TRUE(p.discardNull);
  EXPECT_FALSE(p.abortOnError);
  EXPECT_EQ(state.activeSettings, p);
}

TEST_F(OpenLineTest, OnlyBitZeroOfEliminaNullDiscardsNul) {
  site.eliminaNull = 2;
  line.settings.discardNull = true;
  ASSERT_EQ(Open(1), 0);
  EXPECT_FALSE(line.settingsApplied.at(0).discardNull);
}

TEST_F(OpenLineTest, LowerCaseParityLetterIsUpperCased) {
  WriteSite({{"Parita", "e"}});
  ASSERT_EQ(Open(1), 0);
  EXPECT_EQ(line.settingsApplied.at(0).parity, ParityMode::kEven);
}

TEST_F(OpenLineTest, UnknownParityLetterIsReportedAndThePortIsNotSet) {
  WriteSite({{"Parita", "X"}});
  EXPECT_EQ(Open(3), msg::kSiteSettings);
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kParita), Error(msg::kPortConnect)}));
  EXPECT_TRUE(line.settingsApplied.empty());
}

TEST_F(OpenLineTest, WrongParityAndStopValueAreBothReported) {
  WriteSite({{"Parita", "M"}, {"Stop", "3"}});
  EXPECT_EQ(Open(1), msg::kSiteSettings);
  EXPECT_EQ(notifier.Notes(),
            (std::vector{Error(msg::kParita), Error(msg::kStop), Error(msg::kPortConnect)}));
}

TEST_F(OpenLineTest, RefusedTimeoutsGive7009WithTheLinesErrorAndAreRetried) {
  line.failSetTimeouts = true;
  line.failError = 87;
  EXPECT_EQ(Open(2), msg::kPortSetup);
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(line.closes, 2);
  EXPECT_TRUE(line.settingsApplied.empty());
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kPortConnect), SystemError(87)}));
}

TEST_F(OpenLineTest, RefusedSettingsGive7009) {
  line.failSetSettings = true;
  line.failError = 31;
  EXPECT_EQ(Open(1), msg::kPortSetup);
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kPortConnect), SystemError(31)}));
}

TEST_F(OpenLineTest, RefusedInputQueueOfAKstdLineGives7011) {
  site.deviceType = DeviceType::kKstd;
  line.failSetQueues = true;
  line.failError = 8;
  EXPECT_EQ(Open(1), msg::kSerialQueue);
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kPortConnect), SystemError(8)}));
}

TEST_F(OpenLineTest, TcpipKeepsThePortsFlowControlAndGetsTheRest) {
  site.deviceType = DeviceType::kTcpip;
  line.settings.outxCtsFlow = true;
  line.settings.outxDsrFlow = true;
  line.settings.dtrControl = DtrControl::kHandshake;
  line.settings.dsrSensitivity = true;
  line.settings.outX = true;
  line.settings.inX = false;
  line.settings.rtsControl = RtsControl::kDisable;
  line.settings.baud = 1200;
  const PortSettings before = line.settings;
  ASSERT_EQ(Open(1), 0);
  const PortSettings& p = line.settingsApplied.at(0);
  EXPECT_EQ(p.outxCtsFlow, before.outxCtsFlow);
  EXPECT_EQ(p.outxDsrFlow, before.outxDsrFlow);
  EXPECT_EQ(p.dtrControl, before.dtrControl);
  EXPECT_EQ(p.dsrSensitivity, before.dsrSensitivity);
  EXPECT_EQ(p.outX, before.outX);
  EXPECT_EQ(p.inX, before.inX);
  EXPECT_EQ(p.rtsControl, before.rtsControl);
  EXPECT_EQ(p.baud, 9600u);
  EXPECT_EQ(p.errorChar, 0x47);
}

TEST_F(OpenLineTest, ExceptionWhileOpeningClosesTheLineAndGives7005) {
  throwOnResize = true;
  EXPECT_EQ(Open(3), msg::kPortConnect);
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(line.closes, 1);
  EXPECT_EQ(state.line, nullptr);
  const auto notes = notifier.Notes();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0], Error(msg::kPortConnect));
  EXPECT_EQ(notes[1].message, Message::kSystemError);
}

TEST_F(OpenLineTest, SynchronousModemSiteIsNotDialled) {
  WriteSite({{"Modem", "1"}, {"StringaModem", "ATX3"}, {"NumeroTel", "0123"}});
  ASSERT_EQ(Open(1, /*synchronous=*/true), 0);
  EXPECT_TRUE(line.Written().empty());
  // Modem flag 1: the modem time-outs.
  EXPECT_EQ(line.timeouts, (LineTimeouts{.readTotalMs = 3000, .writeTotalMs = 1500}));
}

TEST_F(OpenLineTest, ModemThatNeverAnswersGives7010AfterSpendingTheBudgetOnDials) {
  WriteSite({{"Modem", "1"}, {"StringaModem", "ATX3"}, {"NumeroTel", "0123"}});
  EXPECT_EQ(Open(2), msg::kModemConnect);
  // The dialler spends the budget itself: one open, two dial attempts.
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(line.Writes(), (std::vector<std::string>{"at&f\n\r", "at&f\n\r"}));
  EXPECT_EQ(notifier.Notes(), (std::vector{Error(msg::kPortConnect), Error(msg::kModemConnect)}));
  EXPECT_EQ(line.closes, 1);
}

TEST_F(OpenLineTest, AnsweringModemOpensTheLine) {
  WriteSite({{"Modem", "1"}, {"StringaModem", "ATX3"}, {"NumeroTel", "0123"}});
  line.onWrite = [this](std::string_view written) {
    if (!written.empty() && written.back() == '\r') line.Arrive("OK\r\n", clock.TickMs() + 5);
    if (written == "0123") line.carrier = true;
  };
  ASSERT_EQ(Open(1), 0);
  EXPECT_EQ(line.Written(), "at&f\n\rATX3\n\r0123\n\r");
  EXPECT_TRUE(notifier.Notes().empty());
  // The dialogue's 1 s time-outs are gone again.
  EXPECT_EQ(line.timeouts, (LineTimeouts{.readTotalMs = 3000, .writeTotalMs = 1500}));
  EXPECT_EQ(state.timeouts, line.timeouts);
}

TEST_F(OpenLineTest, CloseLinePutsBackTheOpeningSettingsWithDtrAndRtsDisabled) {
  line.settings.baud = 2400;
  line.settings.dtrControl = DtrControl::kEnable;
  line.settings.rtsControl = RtsControl::kHandshake;
  line.settings.outxCtsFlow = true;
  PortSettings expected = line.settings;
  ASSERT_EQ(Open(1), 0);
  EXPECT_EQ(state.openingSettings, expected);
  CloseLine(state);
  expected.dtrControl = DtrControl::kDisable;
  expected.rtsControl = RtsControl::kDisable;
  ASSERT_EQ(line.settingsApplied.size(), 2u);
  EXPECT_EQ(line.settingsApplied[1], expected);
  EXPECT_EQ(line.closes, 1);
  EXPECT_EQ(state.line, nullptr);
  CloseLine(state);  // closed already: nothing
  EXPECT_EQ(line.settingsApplied.size(), 2u);
}

TEST_F(OpenLineTest, CloseLineDropsTheLinesEvenWhenTheOldSettingsAreRefused) {
  ASSERT_EQ(Open(1), 0);
  line.failSetSettings = true;
  CloseLine(state);
  EXPECT_FALSE(line.dtr);
  EXPECT_FALSE(line.rts);
  EXPECT_EQ(line.closes, 1);
}

// --- Pure parts ---

TEST(SizeReadChunkTest, KstdAt1200BaudNeeds42Seconds) {
  SiteSettings site;
  site.deviceType = DeviceType::kKstd;
  site.sTimeReadMs = 1000;
  EXPECT_EQ(SizeReadChunk(1200, 0, site), 8192u);
  EXPECT_EQ(site.sTimeReadMs, 42000u);
}

TEST(SizeReadChunkTest, KstdWithAnyModemFlagRaisesTheModemReadTimeout) {
  SiteSettings site;
  site.deviceType = DeviceType::kKstd;
  site.sTimeReadMs = 100;
  site.mTimeReadMs = 100;
  SizeReadChunk(9600, 2, site);
  EXPECT_EQ(site.mTimeReadMs, 7000u);
  EXPECT_EQ(site.sTimeReadMs, 100u);
}

TEST(SizeReadChunkTest, OtherDevicesReadWhatArrivesInTheReadTimeoutPlusASecond) {
  SiteSettings site;
  site.deviceType = DeviceType::kKstb;
  site.sTimeReadMs = 1999;  // whole seconds: 1
  site.mTimeReadMs = 5000;
  EXPECT_EQ(SizeReadChunk(9600, 0, site), 2400u);
  EXPECT_EQ(SizeReadChunk(9600, 1, site), 7200u);
  EXPECT_EQ(SizeReadChunk(1200, 0, site), 300u);
  EXPECT_EQ(site.sTimeReadMs, 1999u);
}

TEST(SetLineTimeoutsTest, OnlyModemFlagOneTakesTheModemTimeouts) {
  SiteSettings site;
  site.sTimeReadMs = 1;
  site.sTimeWriteMs = 2;
  site.mTimeReadMs = 3;
  site.mTimeWriteMs = 4;
  EXPECT_EQ(SetLineTimeouts(1, site), (LineTimeouts{3, 4}));
  EXPECT_EQ(SetLineTimeouts(0, site), (LineTimeouts{1, 2}));
  EXPECT_EQ(SetLineTimeouts(2, site), (LineTimeouts{1, 2}));
}

TEST(SetLineTimeoutsTest, ADirectTextLineGetsItsIntervalTimeOutBesideTheTotal) {
  SiteSettings site;
  site.sTimeReadMs = 1000;
  site.sTimeWriteMs = 2;
  site.mTimeReadMs = 3;
  site.mTimeWriteMs = 4;
  site.sIntervalReadMs = 20;
  site.deviceType = DeviceType::kCom;
  EXPECT_EQ(SetLineTimeouts(0, site), (LineTimeouts{1000, 2, 20}));
  site.deviceType = DeviceType::kTcpip;
  EXPECT_EQ(SetLineTimeouts(0, site), (LineTimeouts{1000, 2, 20}));
  // A modem line keeps its reads, whichever time-outs it takes.
  EXPECT_EQ(SetLineTimeouts(1, site), (LineTimeouts{3, 4, 0}));
  EXPECT_EQ(SetLineTimeouts(2, site), (LineTimeouts{1000, 2, 0}));
  site.deviceType = DeviceType::kKstd;
  EXPECT_EQ(SetLineTimeouts(0, site), (LineTimeouts{1000, 2, 0}));
}

// One row of the flow-control table.
struct FlowRow {
  const char* name;
  DeviceType device;
  Handshake handshake;
  bool noControlPins;
  bool hardwareHandshakeActive;
  bool outxCtsFlow;
  bool outxDsrFlow;
  DtrControl dtr;
  std::optional<bool> dsrSensitivity;  // nothing: unchanged
  bool xonXoff;
  RtsControl rts;
};

class FlowTableTest : public ::testing::TestWithParam<FlowRow> {};

TEST_P(FlowTableTest, SetsTheRowsFieldsAndKeepsTheOthers) {
  const FlowRow& row = GetParam();
  LineSettings line;
  line.handshake = row.handshake;
  line.noControlPins = row.noControlPins;
  line.hardwareHandshakeActive = row.hardwareHandshakeActive;
  // Start from the opposite of every value the row sets, so each is seen set.
  for (const bool startSensitive : {false, true}) {
    PortSettings port;
    port.outxCtsFlow = !row.outxCtsFlow;
    port.outxDsrFlow = !row.outxDsrFlow;
    port.dtrControl = row.dtr == DtrControl::kDisable ? DtrControl::kEnable : DtrControl::kDisable;
    port.dsrSensitivity = startSensitive;
    port.outX = port.inX = !row.xonXoff;
    port.rtsControl = row.rts == RtsControl::kDisable ? RtsControl::kEnable : RtsControl::kDisable;
    port.baud = 4800;
    ApplyFlowControl(row.device, line, port);
    EXPECT_EQ(port.outxCtsFlow, row.outxCtsFlow);
    EXPECT_EQ(port.outxDsrFlow, row.outxDsrFlow);
    EXPECT_EQ(port.dtrControl, row.dtr);
    EXPECT_EQ(port.dsrSensitivity, row.dsrSensitivity.value_or(startSensitive));
    EXPECT_EQ(port.outX, row.xonXoff);
    EXPECT_EQ(port.inX, row.xonXoff);
    EXPECT_EQ(port.rtsControl, row.rts);
    EXPECT_EQ(port.baud, 4800u);
  }
}

constexpr auto kDis = DtrControl::kDisable;
constexpr auto kEn = DtrControl::kEnable;
constexpr auto kHs = DtrControl::kHandshake;
constexpr auto kRDis = RtsControl::kDisable;
constexpr auto kREn = RtsControl::kEnable;
constexpr auto kRHs = RtsControl::kHandshake;

INSTANTIATE_TEST_SUITE_P(
    Rows, FlowTableTest,
    ::testing::Values(FlowRow{"ComNone", DeviceType::kCom, Handshake::kNone, true, true, false,
                              false, kDis, std::nullopt, false, kRDis},
                      FlowRow{"ComXonNoPins", DeviceType::kCom, Handshake::kXon, true, false, false,
                              false, kEn, false, false, kREn},
                      FlowRow{"ComXon", DeviceType::kCom, Handshake::kXon, false, false, false,
                              false, kDis, std::nullopt, true, kRDis},
                      FlowRow{"ComHdwActive", DeviceType::kCom, Handshake::kHdw, false, true, true,
                              true, kHs, false, false, kRHs},
                      FlowRow{"ComHdw", DeviceType::kCom, Handshake::kHdw, true, false, true, true,
                              kDis, std::nullopt, false, kRDis},
                      FlowRow{"KstaXon", DeviceType::kKsta, Handshake::kXon, false, false, false,
                              false, kHs, std::nullopt, false, kRHs},
                      FlowRow{"KstbHdw", DeviceType::kKstb, Handshake::kHdw, false, true, false,
                              false, kHs, std::nullopt, false, kRHs},
                      FlowRow{"KstcNone", DeviceType::kKstc, Handshake::kNone, false, false, false,
                              false, kHs, std::nullopt, false, kRHs},
                      FlowRow{"KstdXonNoPins", DeviceType::kKstd, Handshake::kXon, true, false,
                              false, false, kHs, std::nullopt, false, kRHs}),
    [](const ::testing::TestParamInfo<FlowRow>& row) { return std::string(row.param.name); });

TEST(TcpipFlowTest, KeepsEveryFlowField) {
  LineSettings line;
  line.handshake = Handshake::kHdw;
  line.hardwareHandshakeActive = true;
  PortSettings port;
  port.outxCtsFlow = false;
  port.outxDsrFlow = true;
  port.dtrControl = DtrControl::kEnable;
  port.dsrSensitivity = true;
  port.outX = true;
  port.inX = false;
  port.rtsControl = RtsControl::kDisable;
  const PortSettings before = port;
  ApplyFlowControl(DeviceType::kTcpip, line, port);
  EXPECT_EQ(port, before);
}

}  // namespace
}  // namespace vr
