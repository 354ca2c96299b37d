// The device models, driven over the simulated line as the recorder drives
// them: the exchange and its flow control, the Hayes modem dialogue and
// carrier, the Kestrel boxes' exchanges and faults.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "sim/exchange.h"
#include "sim/hayes_modem.h"
#include "sim/kestrel_box.h"
#include "sim/records.h"
#include "sim/simulated_line.h"

namespace vr::sim {
namespace {

// The PC's end of a simulated line, with the total time-outs the recorder
// uses in its dialogues.
class Pc {
 public:
  Pc(ManualClock& clock, Device& device, std::uint32_t readTimeoutMs = 1000)
      : line(clock, device), clock_(clock) {
    line.SetTimeouts({readTimeoutMs, 1000});
  }
  void Send(std::string_view bytes) {
    line.Write({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  }
  void Send(std::uint8_t byte) { line.Write({&byte, 1}); }
  // One read of up to `count` bytes.
  std::string Read(std::size_t count) {
    std::vector<std::uint8_t> buffer(count);
    const IoResult r = line.Read(buffer);
    return std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.bytes));
  }
  // Reads for `ms` milliseconds of line time.
  std::string ReadForMs(std::uint64_t ms) {
    const std::uint64_t endMs = clock_.TickMs() + ms;
    std::string all;
    while (clock_.TickMs() < endMs) all += Read(4096);
    return all;
  }
  // Reads until a read brings nothing.
  std::string ReadAll() {
    std::string all;
    for (std::string part = Read(4096); !part.empty(); part = Read(4096)) all += part;
    return all;
  }
  SimulatedLine line;

 private:
  ManualClock& clock_;
};

std::string Joined(const std::vector<std::string>& records, std::string_view lineEnd) {
  std::string text;
  for (const std::string& r : records) text += r + std::string(lineEnd);
  return text;
}

std::uint8_t Sum(std::string_view bytes) {
  return static_cast<std::uint8_t>(std::accumulate(
      bytes.begin(), bytes.end(), 0u,
      [](unsigned sum, char c) { return sum + static_cast<std::uint8_t>(c); }));
}

std::string Byte(std::uint8_t b) { return std::string(1, static_cast<char>(b)); }

// --- Transmitter ---

// Drains a transmitter up to `untilUs`, as a device's RunUntil does.
std::vector<std::pair<char, TimeUs>> Drain(Transmitter& tx, TimeUs untilUs) {
  std::vector<std::pair<char, TimeUs>> sent;
  while (tx.NextDoneUs() <= untilUs) {
    const TimeUs atUs = tx.NextDoneUs();
    sent.emplace_back(static_cast<char>(tx.Pop()), atUs);
  }
  return sent;
}

TEST(TransmitterTest, CharacterTimeIsRoundedUp) {
  EXPECT_EQ(CharTimeUs(9600), 1042);
  EXPECT_EQ(CharTimeUs(115200), 87);
  EXPECT_EQ(CharTimeUs(300, 11), 36667);
}

TEST(TransmitterTest, SendsOneCharacterTimeApartAndNotBeforeItsMoment) {
  Transmitter tx(9600);
  tx.Queue("ab", 0);
  tx.Queue('c', 10000);

  const auto sent = Drain(tx, kNeverUs - 1);

  using P = std::pair<char, TimeUs>;
  EXPECT_EQ(sent, (std::vector<P>{{'a', 1042}, {'b', 2084}, {'c', 11042}}));
}

TEST(TransmitterTest, AHoldLetsTheCharacterOnTheWireFinish) {
  Transmitter tx(9600);
  tx.Queue("abc", 0);
  EXPECT_EQ(Drain(tx, 1500).size(), 1u);  // 'b' is on the wire from 1042

  tx.SetHeld(Transmitter::kHoldXoff, true, 1500);

  using P = std::pair<char, TimeUs>;
  EXPECT_EQ(Drain(tx, 100000), (std::vector<P>{{'b', 2084}}));
  EXPECT_EQ(tx.NextDoneUs(), kNeverUs);
  tx.SetHeld(Transmitter::kHoldXoff, false, 50000);
  EXPECT_EQ(Drain(tx, 100000), (std::vector<P>{{'c', 51042}}));
}

TEST(TransmitterTest, RunsOnlyWhenEveryHoldIsReleased) {
  Transmitter tx(9600);
  tx.Queue('x', 0);
  tx.SetHeld(Transmitter::kHoldLink, true, 0);
  tx.SetHeld(Transmitter::kHoldXoff, true, 0);
  tx.SetHeld(Transmitter::kHoldLink, false, 5000);
  EXPECT_EQ(tx.NextDoneUs(), kNeverUs);
  tx.SetHeld(Transmitter::kHoldXoff, false, 7000);
  EXPECT_EQ(tx.NextDoneUs(), 8042);
}

// --- Records ---

TEST(CallRecordsTest, SameSeedSameRecordsOtherSeedOthers) {
  EXPECT_EQ(MakeCallRecords(20, 5), MakeCallRecords(20, 5));
  EXPECT_NE(MakeCallRecords(20, 5), MakeCallRecords(20, 6));
}

TEST(CallRecordsTest, RecordsArePrintableLinesOfAboutEightyCharacters) {
  for (const std::string& record : MakeCallRecords(200, 3)) {
    EXPECT_GE(record.size(), 70u) << record;
    EXPECT_LE(record.size(), 80u) << record;
    EXPECT_TRUE(std::all_of(record.begin(), record.end(),
                            [](char c) { return c >= 0x20 && c < 0x7F; }))
        << record;
    // dd/mm/yy hh:mm:ss at the start.
    EXPECT_EQ(record[2], '/') << record;
    EXPECT_EQ(record[5], '/') << record;
    EXPECT_EQ(record[11], ':') << record;
  }
}

TEST(CallRecordsTest, CallsGoForwardInTime) {
  const auto records = MakeCallRecords(50, 9);
  auto key = [](const std::string& r) {
    // yy mm dd hh:mm:ss, comparable as text
    return r.substr(6, 2) + r.substr(3, 2) + r.substr(0, 2) + r.substr(9, 8);
  };
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_LT(key(records[i - 1]), key(records[i]));
  }
}

// --- Exchange ---

class ExchangeTest : public ::testing::Test {
 protected:
  ManualClock clock_;
};

TEST_F(ExchangeTest, PrintsEveryRecordWithItsLineEnd) {
  for (LineEnd end : {LineEnd::kCr, LineEnd::kLf, LineEnd::kCrLf}) {
    ExchangeConfig config;
    config.generatedRecords = 5;
    config.lineEnd = end;
    Exchange exchange(config);
    Pc pc(clock_, exchange);

    const std::string received = pc.ReadAll();

    EXPECT_EQ(received, Joined(MakeCallRecords(5, 1), LineEndBytes(end)));
    EXPECT_EQ(exchange.Sent(), received);
    EXPECT_EQ(exchange.RecordsSent(), 5);
    EXPECT_TRUE(exchange.Done());
  }
}

TEST_F(ExchangeTest, PrintsOneRecordPerInterval) {
  ExchangeConfig config;
  config.records = {"one", "two", "three"};
  config.intervalUs = 10 * kUsPerSecond;
  Exchange exchange(config);
  Pc pc(clock_, exchange);

  EXPECT_EQ(pc.Read(100), "one\r\n");
  clock_.SleepMs(8000);
  EXPECT_EQ(pc.Read(100), "");  // 9 s: the second is not due yet
  EXPECT_EQ(pc.Read(100), "two\r\n");
  EXPECT_EQ(exchange.RecordsSent(), 2);
}

TEST_F(ExchangeTest, XoffStopsItAfterTheCharacterOnTheWireAndXonResumes) {
  ExchangeConfig config;
  config.generatedRecords = 4;
  Exchange exchange(config);
  Pc pc(clock_, exchange);

  std::string received = pc.Read(10);
  pc.Send(0x13);
  const std::string afterXoff = pc.Read(100) + pc.Read(100);
  EXPECT_LE(afterXoff.size(), 1u);
  EXPECT_TRUE(exchange.Held());
  received += afterXoff;
  EXPECT_EQ(exchange.Sent(), received);

  pc.Send(0x11);
  received += pc.ReadAll();
  EXPECT_FALSE(exchange.Held());
  EXPECT_EQ(received, Joined(MakeCallRecords(4, 1), "\r\n"));
}

TEST_F(ExchangeTest, HoldsWithTheConfiguredCharacters) {
  ExchangeConfig config;
  config.generatedRecords = 2;
  config.xonChar = 'Q';
  config.xoffChar = 'S';
  Exchange exchange(config);
  Pc pc(clock_, exchange);

  pc.Read(5);
  pc.Send(0x13);  // the usual XOFF means nothing here
  EXPECT_FALSE(exchange.Held());
  pc.Send('S');
  EXPECT_TRUE(exchange.Held());
  pc.Send('Q');
  EXPECT_FALSE(exchange.Held());
}

TEST_F(ExchangeTest, WithoutFlowControlXoffIsIgnored) {
  ExchangeConfig config;
  config.generatedRecords = 3;
  config.flow = ExchangeFlow::kNone;
  Exchange exchange(config);
  Pc pc(clock_, exchange);

  std::string received = pc.Read(10);
  pc.Send(0x13);
  received += pc.ReadAll();

  EXPECT_EQ(received, Joined(MakeCallRecords(3, 1), "\r\n"));
  EXPECT_EQ(exchange.Received(), "\x13");
}

TEST_F(ExchangeTest, SendsOnlyWhileDtrAndRtsAreUp) {
  ExchangeConfig config;
  config.generatedRecords = 3;
  config.flow = ExchangeFlow::kDtrRts;
  Exchange exchange(config);
  Pc pc(clock_, exchange);
  pc.line.SetDtr(false);
  pc.line.SetRts(false);

  EXPECT_EQ(pc.Read(100), "");
  pc.line.SetDtr(true);
  EXPECT_EQ(pc.Read(100), "");  // RTS still down
  pc.line.SetRts(true);
  std::string received = pc.Read(30);
  EXPECT_EQ(received.size(), 30u);
  pc.line.SetRts(false);
  received += pc.Read(100) + pc.Read(100);
  EXPECT_LE(received.size(), 31u);
  pc.line.SetRts(true);
  received += pc.ReadAll();
  EXPECT_EQ(received, Joined(MakeCallRecords(3, 1), "\r\n"));
}

TEST_F(ExchangeTest, RecordsHeldBackAreSentOnceReleased) {
  ExchangeConfig config;
  config.records = {"a", "b", "c"};
  config.intervalUs = 1 * kUsPerSecond;
  config.firstRecordUs = 100 * kUsPerMs;
  Exchange exchange(config);
  Pc pc(clock_, exchange);
  pc.Send(0x13);
  clock_.SleepMs(10000);
  EXPECT_EQ(pc.Read(100), "");

  pc.Send(0x11);

  // All three were due; they come back to back.
  EXPECT_EQ(pc.Read(9), "a\r\nb\r\nc\r\n");
}

// --- Hayes modem ---

class ModemTest : public ::testing::Test {
 protected:
  ModemTest() {
    ExchangeConfig config;
    config.records = {"CALL 1", "CALL 2"};
    config.firstRecordUs = 0;
    exchangeConfig_ = config;
  }
  ManualClock clock_;
  ExchangeConfig exchangeConfig_;
};

TEST_F(ModemTest, AnswersEachCommandLineAndEchoesIt) {
  Exchange exchange(exchangeConfig_);
  HayesModem modem(exchange);
  Pc pc(clock_, modem);

  pc.Send("at&f\n\r");
  EXPECT_EQ(pc.Read(50), "at&f\n\r\r\nOK\r\n");
  pc.Send("ATX3\n\r");
  EXPECT_EQ(pc.Read(50), "ATX3\n\r\r\nOK\r\n");
  pc.Send("hello\n\r");
  EXPECT_EQ(pc.Read(50), "hello\n\r\r\nERROR\r\n");
  EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"at&f", "ATX3", "hello"}));
  EXPECT_FALSE(pc.line.Carrier());
  EXPECT_EQ(modem.Dials(), 0);
}

TEST_F(ModemTest, WithoutEchoOnlyTheResultCodeComes) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.echo = false;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);

  pc.Send("at&f\n\r");
  EXPECT_EQ(pc.Read(50), "\r\nOK\r\n");
}

TEST_F(ModemTest, DiallingRaisesTheCarrierAfterTheDelayThenDataPasses) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.connectDelayUs = 20 * kUsPerSecond;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);

  pc.Send("0612345678\n\r");
  EXPECT_EQ(pc.Read(60), "0612345678\n\r");  // the echo is the only reply so far
  EXPECT_FALSE(pc.line.Carrier());
  EXPECT_EQ(modem.Dials(), 1);

  std::string reply;
  int reads = 0;
  while (reply.empty() && reads < 120) {
    reply = pc.Read(40);
    ++reads;
  }
  EXPECT_EQ(reply, "\r\nCONNECT 9600\r\n");
  EXPECT_EQ(reads, 20);  // nineteen empty seconds, then the result code
  EXPECT_TRUE(pc.line.Carrier());
  EXPECT_TRUE(modem.InDataMode());
  // The exchange behind the modem held its records until the link was up,
  // and starts a moment after CONNECT.
  EXPECT_EQ(pc.Read(100), "");
  EXPECT_EQ(pc.ReadForMs(5000), "CALL 1\r\nCALL 2\r\n");
}

TEST_F(ModemTest, AtdDialsToo) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.echo = false;
  config.connectDelayUs = 2 * kUsPerSecond;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);

  pc.Send("ATX3DT0612345678\n\r");
  pc.Read(60);
  pc.Read(60);
  EXPECT_EQ(pc.Read(60), "\r\nCONNECT 9600\r\n");
  EXPECT_TRUE(pc.line.Carrier());
  // "&d2" is a setting, not a dial.
  EXPECT_EQ(modem.Dials(), 1);
}

TEST_F(ModemTest, ADialThatFindsNoCarrierSaysSo) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.echo = false;
  config.dialResult = DialResult::kNoCarrier;
  config.noCarrierDelayUs = 30 * kUsPerSecond;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);

  pc.Send("at&d2\n\r");
  EXPECT_EQ(pc.Read(50), "\r\nOK\r\n");
  EXPECT_EQ(modem.Dials(), 0);
  pc.Send("0612345678\n\r");
  std::string reply;
  while (reply.empty() && clock_.TickMs() < 200000) reply = pc.Read(40);

  EXPECT_EQ(reply, "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(pc.line.Carrier());
}

TEST_F(ModemTest, ASilentModemNeverAnswersNorConnects) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.answers = false;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);

  pc.Send("at&f\n\r");
  EXPECT_EQ(pc.Read(50), "");
  pc.Send("0612345678\n\r");
  std::string heard;
  for (int i = 0; i < 120; ++i) heard += pc.Read(40);

  EXPECT_EQ(heard, "");
  EXPECT_FALSE(pc.line.Carrier());
}

TEST_F(ModemTest, ADialThatNeverEndsKeepsTheCarrierDown) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.echo = false;
  config.dialResult = DialResult::kNothing;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);

  pc.Send("0612345678\n\r");
  std::string heard;
  for (int i = 0; i < 120; ++i) heard += pc.Read(40);

  EXPECT_EQ(heard, "");
  EXPECT_FALSE(pc.line.Carrier());
  // A character aborts the call.
  pc.Send("a");
  EXPECT_EQ(pc.Read(40), "\r\nNO CARRIER\r\n");
}

class ConnectedModemTest : public ModemTest {
 protected:
  void Connect(Pc& pc) {
    pc.Send("0612345678\n\r");
    while (!pc.line.Carrier() && clock_.TickMs() < 100000) pc.Read(40);
    ASSERT_TRUE(pc.line.Carrier());
  }
};

TEST_F(ConnectedModemTest, EscapeWithGuardTimesThenHangUp) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.echo = false;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);
  Connect(pc);
  EXPECT_EQ(pc.ReadForMs(5000), "\r\nCONNECT 9600\r\nCALL 1\r\nCALL 2\r\n");

  clock_.SleepMs(1000);
  pc.Send("+++");
  std::string reply = pc.Read(50);
  if (reply.empty()) reply = pc.Read(50);
  EXPECT_EQ(reply, "\r\nOK\r\n");
  EXPECT_FALSE(modem.InDataMode());
  EXPECT_TRUE(pc.line.Carrier());  // still on line, in command mode

  pc.Send("ath\n\r");
  EXPECT_EQ(pc.Read(50), "\r\nOK\r\n");
  EXPECT_FALSE(pc.line.Carrier());
  EXPECT_EQ(modem.HangUps(), 1);
  EXPECT_EQ(exchange.Received(), "+++");  // the escape went down the line as well
}

TEST_F(ConnectedModemTest, BackOnLineAfterTheEscape) {
  ExchangeConfig records;
  records.records = {"BEFORE", "AFTER"};
  records.intervalUs = 60 * kUsPerSecond;
  Exchange exchange(records);
  ModemConfig config;
  config.echo = false;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);
  Connect(pc);
  EXPECT_EQ(pc.ReadForMs(5000), "\r\nCONNECT 9600\r\nBEFORE\r\n");
  clock_.SleepMs(1000);
  pc.Send("+++");
  EXPECT_EQ(pc.ReadForMs(2000), "\r\nOK\r\n");
  // The second record falls due (at 60 s) while the modem is in command mode.
  clock_.SleepMs(40000);
  ASSERT_GT(clock_.TickMs(), 60000u);
  EXPECT_EQ(pc.Read(50), "");

  pc.Send("ato\n\r");

  EXPECT_EQ(pc.ReadForMs(2000), "\r\nCONNECT 9600\r\nAFTER\r\n");
  EXPECT_TRUE(modem.InDataMode());
}

TEST_F(ConnectedModemTest, PlusesWithoutTheGuardTimeAreData) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.echo = false;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);
  Connect(pc);
  pc.ReadForMs(5000);  // silence from the PC: the guard counts only its bytes

  pc.Send("x+++");
  clock_.SleepMs(3000);

  EXPECT_EQ(pc.Read(50), "");
  EXPECT_TRUE(modem.InDataMode());
  EXPECT_EQ(exchange.Received(), "x+++");
}

TEST_F(ConnectedModemTest, AByteAfterThePlusesCancelsTheEscape) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.echo = false;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);
  Connect(pc);
  pc.ReadForMs(5000);

  clock_.SleepMs(1000);
  pc.Send("+++");
  clock_.SleepMs(500);
  pc.Send("y");
  clock_.SleepMs(3000);

  EXPECT_EQ(pc.Read(50), "");
  EXPECT_TRUE(modem.InDataMode());
}

TEST_F(ConnectedModemTest, CuttingTheLineDropsTheCarrierAndHoldsTheRemote) {
  ExchangeConfig records;
  records.generatedRecords = 50;
  Exchange exchange(records);
  ModemConfig config;
  config.echo = false;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);
  Connect(pc);
  pc.Read(200);

  modem.DropCarrier(pc.line.NowUs());

  EXPECT_FALSE(pc.line.Carrier());
  const std::string rest = pc.ReadAll();
  EXPECT_EQ(rest.substr(rest.size() - 14), "\r\nNO CARRIER\r\n");
  EXPECT_TRUE(exchange.Held());
  EXPECT_FALSE(exchange.Done());
}

TEST_F(ConnectedModemTest, DroppingDtrHangsUp) {
  Exchange exchange(exchangeConfig_);
  HayesModem modem(exchange);
  Pc pc(clock_, modem);
  Connect(pc);

  pc.line.SetDtr(false);

  EXPECT_FALSE(pc.line.Carrier());
  EXPECT_EQ(modem.HangUps(), 1);
}

TEST_F(ConnectedModemTest, RedialAfterHangUp) {
  Exchange exchange(exchangeConfig_);
  ModemConfig config;
  config.echo = false;
  HayesModem modem(exchange, config);
  Pc pc(clock_, modem);
  Connect(pc);
  modem.DropCarrier(pc.line.NowUs());
  pc.ReadAll();

  Connect(pc);

  EXPECT_EQ(modem.Dials(), 2);
  EXPECT_TRUE(modem.InDataMode());
}

// --- Kestrel boxes ---

KestrelConfig BoxConfig(KestrelModel model, int records) {
  KestrelConfig config;
  config.model = model;
  config.generatedRecords = records;
  return config;
}

// The recorder's floor for a KSTD read time-out at 9600 baud: long enough
// for 6000 bytes and two seconds more.
constexpr std::uint32_t kKstdReadTimeoutMs = 7000;

class KstdTest : public ::testing::Test {
 protected:
  // One counted block as the PC reads it after a resume: the echo, the
  // length, the text and the checksum.
  struct Block {
    std::string echo;
    std::size_t length = 0;
    std::string text;
    std::string checksum;
  };
  Block ReadBlock(Pc& pc) {
    Block b;
    b.echo = pc.Read(1);
    const std::string header = pc.Read(2);
    if (header.size() != 2) return b;
    b.length = static_cast<std::size_t>(static_cast<std::uint8_t>(header[0])) << 8 |
               static_cast<std::uint8_t>(header[1]);
    b.text = pc.Read(b.length);
    b.checksum = pc.Read(1);
    return b;
  }
  ManualClock clock_;
};

TEST_F(KstdTest, OneBlockThenAcknowledge) {
  KestrelConfig config = BoxConfig(KestrelModel::kKstd, 30);
  config.blockMaxBytes = 1000;
  KestrelBox box(config);
  Pc pc(clock_, box, kKstdReadTimeoutMs);
  const std::string all = Joined(MakeCallRecords(30, 1), "\r\n");
  ASSERT_GT(all.size(), 1000u);

  pc.Send(kBoxResume);
  const Block block = ReadBlock(pc);

  EXPECT_EQ(block.echo, "\x11");
  EXPECT_EQ(block.length, 1000u);
  EXPECT_EQ(block.text, all.substr(0, 1000));
  EXPECT_EQ(block.checksum, Byte(Sum(block.text)));
  EXPECT_EQ(box.StoredBytes(), all.size());  // nothing leaves before the ack

  pc.Send(kBoxAck);
  EXPECT_EQ(pc.Read(2), "\x17");
  EXPECT_EQ(box.StoredBytes(), all.size() - 1000);
  EXPECT_EQ(box.Delivered(), block.text);
}

TEST_F(KstdTest, DownloadToTheEmptyBlock) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 40));
  Pc pc(clock_, box, kKstdReadTimeoutMs);
  std::string received;
  for (int i = 0; i < 10; ++i) {
    pc.Send(kBoxResume);
    const Block block = ReadBlock(pc);
    ASSERT_EQ(block.echo, "\x11");
    if (block.length == 0) {
      EXPECT_EQ(block.checksum, std::string(1, '\0'));
      break;
    }
    ASSERT_EQ(block.checksum, Byte(Sum(block.text)));
    received += block.text;
    pc.Send(kBoxAck);
    ASSERT_EQ(pc.Read(1), "\x17");
  }
  EXPECT_EQ(received, Joined(MakeCallRecords(40, 1), "\r\n"));
  EXPECT_EQ(box.Delivered(), received);
  EXPECT_EQ(box.StoredBytes(), 0u);
  EXPECT_EQ(pc.Read(10), "");
}

TEST_F(KstdTest, StatusCountsTheBytesStillStored) {
  KestrelConfig config = BoxConfig(KestrelModel::kKstd, 5);
  config.blockMaxBytes = 100;
  KestrelBox box(config);
  Pc pc(clock_, box, kKstdReadTimeoutMs);
  const std::size_t stored = Joined(MakeCallRecords(5, 1), "\r\n").size();

  pc.Send(kBoxHold);
  EXPECT_EQ(pc.Read(1), "\x13");
  pc.Send(kBoxStatus);
  EXPECT_EQ(pc.Read(1), "\x02");
  const std::string status = pc.Read(39);
  ASSERT_EQ(status.size(), 39u);
  EXPECT_EQ(std::stoul(status.substr(7, 7)), stored);
  pc.Send(kBoxHold);
  EXPECT_EQ(pc.Read(2), "\x13");  // a bare echo: no checksum for KSTD

  pc.Send(kBoxResume);
  ReadBlock(pc);
  pc.Send(kBoxAck);
  pc.Read(1);
  pc.Send(kBoxStatus);
  pc.Read(1);
  EXPECT_EQ(std::stoul(pc.Read(39).substr(7, 7)), stored - 100);
}

TEST_F(KstdTest, StatusNumberCanBeSet) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 1));
  box.SetStatusNumber(25000);
  Pc pc(clock_, box, kKstdReadTimeoutMs);
  pc.Send(kBoxStatus);
  const std::string reply = pc.Read(40);
  EXPECT_EQ(reply.substr(8, 7), "0025000");
}

TEST_F(KstdTest, AnUnacknowledgedBlockComesAgain) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 20));
  Pc pc(clock_, box, kKstdReadTimeoutMs);
  pc.Send(kBoxResume);
  const Block first = ReadBlock(pc);

  pc.Send(kBoxResume);
  const Block again = ReadBlock(pc);

  EXPECT_EQ(again.text, first.text);
  EXPECT_EQ(box.Delivered(), "");
}

TEST_F(KstdTest, ASecondResumeWhileSendingIsIgnored) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 20));
  Pc pc(clock_, box, kKstdReadTimeoutMs);

  pc.Send("\x11\x11");
  const Block block = ReadBlock(pc);

  EXPECT_EQ(block.echo, "\x11");
  EXPECT_EQ(block.checksum, Byte(Sum(block.text)));
  EXPECT_EQ(pc.Read(10), "");
  EXPECT_EQ(box.BlocksSent(), 1);
}

TEST_F(KstdTest, WrongChecksumForTheNextBlockOnly) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 20));
  box.InjectFault(BoxFault::kBadChecksum);
  Pc pc(clock_, box, kKstdReadTimeoutMs);

  pc.Send(kBoxResume);
  const Block bad = ReadBlock(pc);
  EXPECT_EQ(bad.checksum, Byte(static_cast<std::uint8_t>(Sum(bad.text) + 1)));
  pc.Send(kBoxResume);
  const Block good = ReadBlock(pc);
  EXPECT_EQ(good.text, bad.text);
  EXPECT_EQ(good.checksum, Byte(Sum(good.text)));
}

TEST_F(KstdTest, WrongChecksumForEveryBlock) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 20));
  box.InjectFault(BoxFault::kBadChecksum, -1);
  Pc pc(clock_, box, kKstdReadTimeoutMs);
  for (int i = 0; i < 3; ++i) {
    pc.Send(kBoxResume);
    const Block block = ReadBlock(pc);
    EXPECT_NE(block.checksum, Byte(Sum(block.text)));
  }
}

TEST_F(KstdTest, ShortBlockStopsHalfwayWithoutChecksum) {
  KestrelConfig config = BoxConfig(KestrelModel::kKstd, 20);
  config.blockMaxBytes = 400;
  KestrelBox box(config);
  box.InjectFault(BoxFault::kShortBlock);
  Pc pc(clock_, box, kKstdReadTimeoutMs);

  pc.Send(kBoxResume);
  EXPECT_EQ(pc.Read(1), "\x11");
  EXPECT_EQ(pc.Read(2), std::string("\x01\x90", 2));  // 400 announced
  EXPECT_EQ(pc.Read(401).size(), 200u);
  // Not acknowledgeable: the same block, whole, comes next time.
  pc.Send(kBoxAck);
  pc.Read(1);
  EXPECT_EQ(box.Delivered(), "");
  pc.Send(kBoxResume);
  const Block whole = ReadBlock(pc);
  EXPECT_EQ(whole.length, 400u);
  EXPECT_EQ(whole.checksum, Byte(Sum(whole.text)));
}

TEST_F(KstdTest, MissingEchoesForOneCommand) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 20));
  box.DropEcho(kBoxAck, 2);
  Pc pc(clock_, box, kKstdReadTimeoutMs);
  pc.Send(kBoxResume);
  ReadBlock(pc);

  pc.Send(kBoxAck);
  EXPECT_EQ(pc.Read(1), "");
  pc.Send(kBoxHold);
  EXPECT_EQ(pc.Read(1), "\x13");  // other commands are echoed
  pc.Send(kBoxAck);
  EXPECT_EQ(pc.Read(1), "");
  pc.Send(kBoxAck);
  EXPECT_EQ(pc.Read(1), "\x17");
}

TEST_F(KstdTest, MissingResumeEchoStillSendsTheBlock) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 2));
  box.DropEcho(kBoxResume);
  Pc pc(clock_, box, kKstdReadTimeoutMs);
  pc.Send(kBoxResume);
  const std::string bytes = pc.Read(500);
  const std::string text = Joined(MakeCallRecords(2, 1), "\r\n");
  ASSERT_EQ(bytes.size(), text.size() + 3);
  EXPECT_EQ(bytes.substr(2, text.size()), text);
}

TEST_F(KstdTest, StrayBytesBeforeTheNextAnswer) {
  KestrelConfig config = BoxConfig(KestrelModel::kKstd, 2);
  config.strayBytes = "\x7F\x00";
  config.strayBytes.resize(2);
  KestrelBox box(config);
  box.InjectFault(BoxFault::kStrayBytes);
  Pc pc(clock_, box, kKstdReadTimeoutMs);

  pc.Send(kBoxHold);
  EXPECT_EQ(pc.Read(5), std::string("\x7F\x00\x13", 3));
  pc.Send(kBoxHold);
  EXPECT_EQ(pc.Read(5), "\x13");
}

TEST_F(KstdTest, NoAnswerToTheNextCommands) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 2));
  box.InjectFault(BoxFault::kNoAnswer, 2);
  Pc pc(clock_, box, kKstdReadTimeoutMs);

  pc.Send(kBoxResume);
  EXPECT_EQ(pc.Read(1), "");
  pc.Send(kBoxStatus);
  EXPECT_EQ(pc.Read(1), "");
  pc.Send(kBoxResume);
  EXPECT_EQ(pc.Read(1), "\x11");
}

TEST_F(KstdTest, IgnoresOtherBytes) {
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 2));
  Pc pc(clock_, box, kKstdReadTimeoutMs);
  pc.Send("AT+++\r\n");
  EXPECT_EQ(pc.Read(10), "");
  EXPECT_EQ(box.Received(), "AT+++\r\n");
}

class TerminatedBoxTest : public ::testing::TestWithParam<KestrelModel> {
 protected:
  // After a hold: single-byte reads until the first 0x13 and one more byte,
  // as the recorder completes a terminated block.
  std::string ReadToChecksum(Pc& pc) {
    std::string bytes;
    for (;;) {
      const std::string b = pc.Read(1);
      if (b.empty()) return bytes;
      bytes += b;
      if (b[0] == '\x13') return bytes + pc.Read(1);
    }
  }
  ManualClock clock_;
};

TEST_P(TerminatedBoxTest, OneBlock) {
  KestrelBox box(BoxConfig(GetParam(), 20));
  Pc pc(clock_, box);
  const auto records = MakeCallRecords(20, 1);

  pc.Send(kBoxResume);
  EXPECT_EQ(pc.Read(1), "\x11");
  std::string text = pc.Read(100);  // a read chunk's worth, ending inside a record
  ASSERT_EQ(text.size(), 100u);
  pc.Send(kBoxHold);
  const std::string tail = ReadToChecksum(pc);
  ASSERT_GE(tail.size(), 2u);
  ASSERT_EQ(tail[tail.size() - 2], '\x13');
  text += tail.substr(0, tail.size() - 2);

  // The second record, in progress at the hold, was finished before the 0x13.
  EXPECT_EQ(text, Joined({records[0], records[1]}, "\r\n"));
  EXPECT_EQ(tail.back(), static_cast<char>(Sum(text)));

  pc.Send(kBoxAck);
  EXPECT_EQ(pc.Read(2), "\x17");
  pc.Send(kBoxHold);
  EXPECT_EQ(pc.Read(2), "\x13");  // after the ack a bare echo
  EXPECT_EQ(box.Delivered(), text);
}

TEST_P(TerminatedBoxTest, DownloadEverything) {
  KestrelBox box(BoxConfig(GetParam(), 12));
  Pc pc(clock_, box);
  std::string received;
  for (int i = 0; i < 20 && box.StoredBytes() > 0; ++i) {
    pc.Send(kBoxResume);
    ASSERT_EQ(pc.Read(1), "\x11");
    std::string text = pc.Read(300);
    pc.Send(kBoxHold);
    const std::string tail = ReadToChecksum(pc);
    ASSERT_GE(tail.size(), 2u);
    text += tail.substr(0, tail.size() - 2);
    ASSERT_EQ(tail.back(), static_cast<char>(Sum(text)));
    pc.Send(kBoxAck);
    ASSERT_EQ(pc.Read(1), "\x17");
    pc.Send(kBoxHold);
    ASSERT_EQ(pc.Read(1), "\x13");
    received += text;
  }
  EXPECT_EQ(received, Joined(MakeCallRecords(12, 1), "\r\n"));
  EXPECT_EQ(box.StoredRecords(), 0);
  EXPECT_EQ(box.BlocksAcknowledged(), box.BlocksSent());
}

TEST_P(TerminatedBoxTest, StatusTextThenItsChecksumAfterTheHold) {
  KestrelBox box(BoxConfig(GetParam(), 7));
  Pc pc(clock_, box);

  pc.Send(kBoxStatus);
  EXPECT_EQ(pc.Read(1), "\x02");
  const std::string status = pc.Read(200);
  ASSERT_GE(status.size(), 11u);
  EXPECT_EQ(status.substr(0, 4), KestrelModelName(GetParam()));
  EXPECT_EQ(status.substr(9, 2), "07");
  EXPECT_EQ(status.find('\x13'), std::string::npos);
  pc.Send(kBoxHold);
  EXPECT_EQ(pc.Read(3), "\x13" + Byte(Sum(status)));
}

TEST_P(TerminatedBoxTest, StatusCountsDownAsRecordsAreAcknowledged) {
  KestrelBox box(BoxConfig(GetParam(), 3));
  Pc pc(clock_, box);
  pc.Send(kBoxResume);
  pc.Read(1);
  pc.Read(10);
  pc.Send(kBoxHold);  // finishes the first record
  ReadToChecksum(pc);
  pc.Send(kBoxAck);
  pc.Read(1);

  pc.Send(kBoxStatus);
  pc.Read(1);
  EXPECT_EQ(pc.Read(200).substr(9, 2), "02");
}

TEST_P(TerminatedBoxTest, HoldWithNothingSentIsABareEcho) {
  KestrelBox box(BoxConfig(GetParam(), 0));
  Pc pc(clock_, box);
  pc.Send(kBoxResume);
  EXPECT_EQ(pc.Read(10), "\x11");
  pc.Send(kBoxHold);
  EXPECT_EQ(pc.Read(10), "\x13");
}

TEST_P(TerminatedBoxTest, RecordsStoredWhileStreamingFollowAtOnce) {
  KestrelBox box(BoxConfig(GetParam(), 0));
  Pc pc(clock_, box);
  pc.Send(kBoxResume);
  pc.Read(10);

  box.AddRecords({"NEW CALL"}, pc.line.NowUs());

  EXPECT_EQ(pc.Read(100), "NEW CALL\r\n");
}

TEST_P(TerminatedBoxTest, AnUnacknowledgedBlockComesAgain) {
  KestrelBox box(BoxConfig(GetParam(), 5));
  Pc pc(clock_, box);
  pc.Send(kBoxResume);
  pc.Read(1);
  std::string first = pc.Read(50);
  pc.Send(kBoxHold);
  first += ReadToChecksum(pc);

  pc.Send(kBoxResume);
  pc.Read(1);
  std::string again = pc.Read(50);
  pc.Send(kBoxHold);
  again += ReadToChecksum(pc);

  EXPECT_EQ(again, first);
  EXPECT_EQ(box.Delivered(), "");
}

TEST_P(TerminatedBoxTest, WrongChecksum) {
  KestrelBox box(BoxConfig(GetParam(), 5));
  box.InjectFault(BoxFault::kBadChecksum);
  Pc pc(clock_, box);
  pc.Send(kBoxResume);
  pc.Read(1);
  std::string text = pc.Read(50);
  pc.Send(kBoxHold);
  const std::string tail = ReadToChecksum(pc);
  text += tail.substr(0, tail.size() - 2);
  EXPECT_EQ(tail.back(), static_cast<char>(Sum(text) + 1));
}

TEST_P(TerminatedBoxTest, ShortBlockEndsWithoutHoldEchoAndChecksum) {
  KestrelBox box(BoxConfig(GetParam(), 5));
  box.InjectFault(BoxFault::kShortBlock);
  Pc pc(clock_, box);
  pc.Send(kBoxResume);
  pc.Read(1);
  std::string text = pc.Read(50);
  pc.Send(kBoxHold);
  text += ReadToChecksum(pc);

  EXPECT_EQ(text.find('\x13'), std::string::npos);
  EXPECT_EQ(text, Joined(MakeCallRecords(5, 1), "\r\n").substr(0, text.size()));
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_P(TerminatedBoxTest, MissingResumeEcho) {
  KestrelBox box(BoxConfig(GetParam(), 5));
  box.DropEcho(kBoxResume);
  Pc pc(clock_, box);
  pc.Send(kBoxResume);
  const std::string first = pc.Read(1);
  EXPECT_NE(first, "\x11");
  EXPECT_EQ(first, MakeCallRecords(1, 1)[0].substr(0, 1));
}

TEST_P(TerminatedBoxTest, StrayBytesAndNoAnswer) {
  KestrelBox box(BoxConfig(GetParam(), 5));
  box.InjectFault(BoxFault::kStrayBytes);
  box.InjectFault(BoxFault::kNoAnswer);
  Pc pc(clock_, box);

  pc.Send(kBoxStatus);  // not answered at all
  EXPECT_EQ(pc.Read(10), "");
  pc.Send(kBoxResume);
  EXPECT_EQ(pc.Read(2), "\xFE\x11");
}

INSTANTIATE_TEST_SUITE_P(Models, TerminatedBoxTest,
                         ::testing::Values(KestrelModel::kKsta, KestrelModel::kKstb,
                                           KestrelModel::kKstc),
                         [](const auto& param) {
                           return std::string(KestrelModelName(param.param));
                         });

TEST(KestrelModelTest, NamesParse) {
  KestrelModel model = KestrelModel::kKsta;
  EXPECT_TRUE(ParseKestrelModel("kstd", model));
  EXPECT_EQ(model, KestrelModel::kKstd);
  EXPECT_TRUE(ParseKestrelModel("KSTB", model));
  EXPECT_EQ(model, KestrelModel::kKstb);
  EXPECT_FALSE(ParseKestrelModel("KSTE", model));
}

TEST(ChecksumTest, SumModulo256) {
  EXPECT_EQ(AdditiveChecksum(""), 0);
  EXPECT_EQ(AdditiveChecksum("AB"), 0x83);
  EXPECT_EQ(AdditiveChecksum(std::string(3, '\xFF')), 0xFD);
}

// --- A modem in front of a box ---

TEST(ModemAndBoxTest, BoxAnswersThroughTheModemOnceConnected) {
  ManualClock clock;
  KestrelBox box(BoxConfig(KestrelModel::kKstd, 3));
  ModemConfig config;
  config.echo = false;
  config.connectDelayUs = 5 * kUsPerSecond;
  HayesModem modem(box, config);
  Pc pc(clock, modem);

  pc.Send("\x11\n\r");  // in command mode the box hears nothing
  EXPECT_EQ(pc.Read(20), "\r\nERROR\r\n");
  pc.Send("0612345678\n\r");
  while (!pc.line.Carrier() && clock.TickMs() < 60000) pc.Read(40);
  ASSERT_TRUE(pc.line.Carrier());
  pc.ReadForMs(5000);
  EXPECT_EQ(box.Received(), "");

  pc.Send(kBoxResume);
  EXPECT_EQ(pc.Read(1), "\x11");
  EXPECT_EQ(box.Received(), "\x11");
}

}  // namespace
}  // namespace vr::sim
