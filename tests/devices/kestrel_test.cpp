// The box commands and the block receiver against a scripted far end, byte
// for byte.

#include "devices/kestrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "line/scripted_line.h"
#include "log/strings.h"

namespace vr {
namespace {

using test::Bytes;
using Kind = test::ScriptedLine::Event::Kind;

constexpr std::uint32_t kReadTimeoutMs = 1000;

class KestrelTest : public ::testing::Test {
 protected:
  KestrelTest() { line.timeouts = {.readTotalMs = kReadTimeoutMs, .writeTotalMs = 1000}; }

  // The box echoes every command it gets.
  void Echoing() {
    line.onWrite = [this](std::string_view written) { line.Arrive(written); };
  }
  // The box echoes only the given commands.
  void EchoingOnly(std::string commands) {
    line.onWrite = [this, commands](std::string_view written) {
      if (written.size() == 1 && commands.find(written[0]) != std::string::npos)
        line.Arrive(written);
    };
  }

  // The receive buffer holding `handed` as the bytes of the read just made.
  int Receive(std::string_view handed, bool counted, std::size_t expected,
              std::size_t capacity = 64, std::size_t maxBytes = SIZE_MAX) {
    buffer.assign(capacity, 0xEE);
    std::copy(handed.begin(), handed.end(), buffer.begin());
    count = handed.size();
    VectorBlockBuffer blocks(buffer, 16, maxBytes);
    return ReceiveBlock(line, blocks, count, counted, expected);
  }
  std::string Text() const { return std::string(buffer.begin(), buffer.begin() + count); }

  ManualClock clock;
  test::ScriptedLine line{clock};
  std::vector<std::uint8_t> buffer;
  std::size_t count = 0;
};

TEST(AdditiveChecksumTest, SumsModulo256) {
  EXPECT_EQ(AdditiveChecksum({}), 0);
  const std::uint8_t ab[] = {0x41, 0x42};
  EXPECT_EQ(AdditiveChecksum(ab), 0x83);
  const std::uint8_t wrap[] = {0xFF, 0x02, 0x80, 0x80};
  EXPECT_EQ(AdditiveChecksum(wrap), 0x01);
}

// --- Resume command ---

TEST_F(KestrelTest, ResumeEchoedAtOnceTakesOneWriteAndOneRead) {
  Echoing();
  EXPECT_TRUE(SendResumeCommand(line, false));
  EXPECT_EQ(line.Writes(), std::vector<std::string>{Bytes({0x11})});
  EXPECT_EQ(line.Reads(), 1);
}

TEST_F(KestrelTest, StatusFormOfTheResumeIsSTX) {
  Echoing();
  EXPECT_TRUE(SendResumeCommand(line, true));
  EXPECT_EQ(line.Written(), Bytes({0x02}));
}

TEST_F(KestrelTest, ResumeWithoutEchoReadsOnceMoreWithoutWritingAgain) {
  EXPECT_FALSE(SendResumeCommand(line, false));
  EXPECT_EQ(line.Writes(), std::vector<std::string>{Bytes({0x11})});
  EXPECT_EQ(line.Reads(), 2);
}

TEST_F(KestrelTest, ResumeAcceptsTheEchoAtTheSecondRead) {
  line.onWrite = [this](std::string_view) { line.Arrive("x\x11"); };
  EXPECT_TRUE(SendResumeCommand(line, false));
  EXPECT_EQ(line.Writes().size(), 1u);
  EXPECT_EQ(line.Reads(), 2);
}

TEST_F(KestrelTest, ResumeIsWrittenAgainWhenTheFirstWriteTransferredNothing) {
  line.writeLimits = {0};
  Echoing();
  EXPECT_TRUE(SendResumeCommand(line, false));
  EXPECT_EQ(line.Writes(), (std::vector<std::string>{"", Bytes({0x11})}));
}

TEST_F(KestrelTest, ResumeFailsOnAWrongEchoTwice) {
  line.onWrite = [this](std::string_view) { line.Arrive("\x13\x13"); };
  EXPECT_FALSE(SendResumeCommand(line, false));
}

// --- Hold command ---

TEST_F(KestrelTest, HoldWithoutEchoWaitIsOneWrite) {
  EXPECT_TRUE(SendHoldCommand(line, false));
  EXPECT_EQ(line.Written(), Bytes({0x13}));
  EXPECT_EQ(line.Reads(), 0);
}

TEST_F(KestrelTest, HoldFailsWhenTheWriteTransferredNothing) {
  line.writeLimits = {0};
  EXPECT_FALSE(SendHoldCommand(line, true));
  EXPECT_EQ(line.Reads(), 0);
}

TEST_F(KestrelTest, HoldWaitsForItsEcho) {
  Echoing();
  EXPECT_TRUE(SendHoldCommand(line, true));
  EXPECT_EQ(line.Reads(), 1);
}

TEST_F(KestrelTest, HoldFailsAtTheFirstReadWithoutAByte) {
  EXPECT_FALSE(SendHoldCommand(line, true));
  EXPECT_EQ(line.Reads(), 1);
}

TEST_F(KestrelTest, HoldEchoAsThe120thByteIsFoundAfterResendsAtReads50And100) {
  line.Arrive(std::string(119, 'r') + "\x13");
  EXPECT_TRUE(SendHoldCommand(line, true));
  EXPECT_EQ(line.Reads(), 120);
  // The writes come right after the 50th and the 100th read.
  std::vector<int> readsBeforeWrite;
  int reads = 0;
  for (const auto& e : line.events) {
    if (e.kind == Kind::kRead) ++reads;
    if (e.kind == Kind::kWrite) {
      EXPECT_EQ(e.bytes, Bytes({0x13}));
      readsBeforeWrite.push_back(reads);
    }
  }
  EXPECT_EQ(readsBeforeWrite, (std::vector<int>{0, 50, 100}));
}

TEST_F(KestrelTest, HoldEchoReadAtA50thReadIsDisregarded) {
  line.Arrive(std::string(49, 'r') + "\x13" + "r\x13");
  EXPECT_TRUE(SendHoldCommand(line, true));
  EXPECT_EQ(line.Reads(), 52);
  EXPECT_EQ(line.Writes().size(), 2u);
}

TEST_F(KestrelTest, HoldGivesUpAfter9999Reads) {
  line.Arrive(std::string(12000, 'r'));
  EXPECT_FALSE(SendHoldCommand(line, true));
  EXPECT_EQ(line.Reads(), 9999);
  EXPECT_EQ(line.Writes().size(), 1u + 9999u / 50u);
}

// --- Acknowledge ---

TEST_F(KestrelTest, AcknowledgeTakesTheEchoFromEitherOfTwoReads) {
  line.onWrite = [this](std::string_view) { line.Arrive("?\x17"); };
  EXPECT_TRUE(AcknowledgeBlock(line));
  EXPECT_EQ(line.Written(), Bytes({0x17}));
  EXPECT_EQ(line.Reads(), 2);
}

TEST_F(KestrelTest, AcknowledgeFailsAfterTwoReadsWithoutEcho) {
  line.onWrite = [this](std::string_view) { line.Arrive("??\x17"); };
  EXPECT_FALSE(AcknowledgeBlock(line));
  EXPECT_EQ(line.Reads(), 2);
}

// --- Terminated blocks (KSTA, KSTB, KSTC) ---

TEST_F(KestrelTest, TerminatedBlockIsCompletedByteByByteCheckedAndAcknowledged) {
  line.Arrive("C\x13\xC6");  // 0x41 + 0x42 + 0x43 = 0xC6
  Echoing();
  EXPECT_EQ(Receive("AB", false, 0), 0);
  EXPECT_EQ(count, 2u + 1u);
  EXPECT_EQ(Text(), "ABC");
  EXPECT_EQ(buffer[count], 0);
  // Acknowledge, then hold with its echo awaited.
  EXPECT_EQ(line.Writes(), (std::vector<std::string>{Bytes({0x17}), Bytes({0x13})}));
  // One byte per read, none after the checksum.
  std::vector<std::size_t> asked;
  for (const auto& e : line.events)
    if (e.kind == Kind::kRead) asked.push_back(e.asked);
  EXPECT_EQ(asked, (std::vector<std::size_t>(3 + 1 + 1, 1)));
}

TEST_F(KestrelTest, TerminatedBlockWhoseEndCameWithTheBulkReadCompletesOnAnEmptyRead) {
  Echoing();
  EXPECT_EQ(Receive("AB\x13\x83", false, 0), 0);
  EXPECT_EQ(Text(), "AB");
  EXPECT_EQ(line.Written(), Bytes({0x17, 0x13}));
}

TEST_F(KestrelTest, TerminatedBlockWithAWrongChecksumGives9004WithoutAcknowledge) {
  Echoing();
  EXPECT_EQ(Receive("AB\x13\x84", false, 0), msg::kChecksum);
  EXPECT_TRUE(line.Written().empty());
}

TEST_F(KestrelTest, TerminatedBlockWithoutTheHoldEchoGives9003) {
  line.Arrive("CD");
  Echoing();
  EXPECT_EQ(Receive("AB", false, 0), msg::kBlockIncomplete);
  EXPECT_TRUE(line.Written().empty());
}

TEST_F(KestrelTest, TerminatedBlockWhoseChecksumNeverCameGives9003) {
  line.Arrive("C\x13");
  EXPECT_EQ(Receive("AB", false, 0), msg::kBlockIncomplete);
}

TEST_F(KestrelTest, TerminatedBlockStopsReadingAfterTheByteThatFollowsTheFirst0x13) {
  line.Arrive("\x13\x41");
  line.Arrive("late", 60000);  // well after the exchange
  Echoing();
  EXPECT_EQ(Receive("A", false, 0), 0);
  EXPECT_EQ(Text(), "A");
  EXPECT_EQ(line.Reads(), 2 + 1 + 1);  // 0x13, checksum; acknowledge echo; hold echo
  EXPECT_EQ(line.PendingBytes(), 4u);
}

TEST_F(KestrelTest, TerminatedBlockWithoutAcknowledgeEchoGives9004AndNoHold) {
  EchoingOnly("\x13");
  EXPECT_EQ(Receive("AB\x13\x83", false, 0), msg::kChecksum);
  EXPECT_EQ(line.Written(), Bytes({0x17}));
}

TEST_F(KestrelTest, TerminatedBlockGrowsTheBufferWhenFewerThanTwoBytesAreFree) {
  const std::string text(40, 'x');
  line.Arrive(text.substr(4) + "\x13" +
              static_cast<char>(AdditiveChecksum(
                  std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))));
  Echoing();
  EXPECT_EQ(Receive(text.substr(0, 4), false, 0, /*capacity=*/8), 0);
  EXPECT_EQ(Text(), text);
  EXPECT_GE(buffer.size(), 42u);
}

TEST_F(KestrelTest, TerminatedBlockThatCannotGrowTheBufferGives7008) {
  line.Arrive(std::string(20, 'x'));
  EXPECT_EQ(Receive("xxxx", false, 0, /*capacity=*/8, /*maxBytes=*/8), msg::kBufferAlloc);
  EXPECT_TRUE(line.Written().empty());
}

// A far end that sends text for ever, one byte a read, never the end byte.
class EndlessTextLine final : public Line {
 public:
  bool GetSettings(PortSettings&) override { return true; }
  bool SetSettings(const PortSettings&) override { return true; }
  bool GetTimeouts(LineTimeouts&) override { return true; }
  bool SetTimeouts(const LineTimeouts&) override { return true; }
  bool SetQueues(std::uint32_t, std::uint32_t) override { return true; }
  IoResult Read(std::span<std::uint8_t> buffer) override {
    // A cap on the test itself: a receiver without a bound stops here.
    if (bytesRead >= 4 * box::kMaxTerminatedBlockBytes) return {.ok = true};
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{'x'});
    bytesRead += buffer.size();
    if (onRead) onRead();
    return {.ok = true, .bytes = buffer.size()};
  }
  IoResult Write(std::span<const std::uint8_t> bytes) override {
    written += bytes.size();
    return {.ok = true, .bytes = bytes.size()};
  }
  bool Carrier() override { return true; }
  bool SetDtr(bool) override { return true; }
  bool SetRts(bool) override { return true; }
  std::uint32_t LastError() const override { return 0; }

  std::size_t bytesRead = 0;
  std::size_t written = 0;
  std::function<void()> onRead;
};

TEST(TerminatedBlockWithoutEnd, IsRefusedAtItsBoundOrWhenTheStopComes) {
  const struct {
    const char* name;
    std::size_t stopAfterBytes;  // 0: no stop
    std::size_t mostBytes;       // read at most
  } kCases[] = {
      {"a far end that never ends the block", 0, box::kMaxTerminatedBlockBytes},
      {"a stop while the block comes", 1000, 1000},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EndlessTextLine line;
    std::atomic<bool> stop{false};
    line.onRead = [&] {
      if (c.stopAfterBytes != 0 && line.bytesRead == c.stopAfterBytes) stop = true;
    };
    std::vector<std::uint8_t> bytes(64, 0);
    VectorBlockBuffer buffer(bytes, 4096);
    std::size_t count = 0;
    EXPECT_EQ(ReceiveBlock(line, buffer, count, false, 0, &stop), msg::kBlockIncomplete);
    EXPECT_LE(line.bytesRead, c.mostBytes);
    EXPECT_EQ(line.written, 0u);  // neither acknowledged nor held
    EXPECT_LE(bytes.size(), box::kMaxTerminatedBlockBytes + 4096);
  }
}

TEST_F(KestrelTest, StopAlreadySetWhenTheBlockBeginsLetsItComplete) {
  // The drain at the end of a connection still takes the block in flight.
  Echoing();
  line.Arrive(Bytes({'A', 'B', 0x13, 0x83}));
  std::atomic<bool> stop{true};
  buffer.assign(64, 0);
  count = 0;
  VectorBlockBuffer blocks(buffer, 16);
  EXPECT_EQ(ReceiveBlock(line, blocks, count, false, 0, &stop), 0);
  EXPECT_EQ(Text(), "AB");
}

// --- Counted blocks (KSTD) ---

TEST_F(KestrelTest, CountedBlockReadsTheMissingBytesChecksAndAcknowledges) {
  line.Arrive("C\xC6");
  Echoing();
  EXPECT_EQ(Receive("AB", true, 4), 0);
  EXPECT_EQ(Text(), "ABC");
  EXPECT_EQ(buffer[count], 0);
  // Acknowledge only: a KSTD box is not held after a block.
  EXPECT_EQ(line.Written(), Bytes({0x17}));
  ASSERT_GE(line.events.size(), 1u);
  EXPECT_EQ(line.events[0].kind, Kind::kRead);
  EXPECT_EQ(line.events[0].asked, 2u);
}

TEST_F(KestrelTest, CountedBlockHandedInWholeNeedsNoRead) {
  Echoing();
  EXPECT_EQ(Receive("AB\x83", true, 3), 0);
  EXPECT_EQ(Text(), "AB");
  EXPECT_EQ(line.events.front().kind, Kind::kWrite);
}

TEST_F(KestrelTest, CountedBlockThatEndsShortGives9006) {
  line.Arrive("C");
  Echoing();
  EXPECT_EQ(Receive("AB", true, 5), msg::kBlockLength);
  EXPECT_TRUE(line.Written().empty());
}

TEST_F(KestrelTest, CountedBlockWithAWrongChecksumGives9004) {
  Echoing();
  EXPECT_EQ(Receive("AB\x84", true, 3), msg::kChecksum);
  EXPECT_TRUE(line.Written().empty());
}

TEST_F(KestrelTest, CountedBlockWithoutAcknowledgeEchoGives9004) {
  EXPECT_EQ(Receive("AB\x83", true, 3), msg::kChecksum);
  EXPECT_EQ(line.Written(), Bytes({0x17}));
}

TEST_F(KestrelTest, CountedBlockStoppingAt4096Of4097BytesIsComparedWithChecksumZero) {
  // 4096 bytes summing to 0 modulo 256: 16 times 0x00..0xFF.
  std::string body;
  for (int i = 0; i < 4096; ++i) body += static_cast<char>(i & 0xFF);
  line.Arrive(body.substr(100));
  Echoing();
  EXPECT_EQ(Receive(body.substr(0, 100), true, 4097, /*capacity=*/8192), 0);
  EXPECT_EQ(count, 4096u);
  EXPECT_EQ(Text(), body);

  body[0] = 1;  // the sum is 1 now
  line.Arrive(body.substr(100));
  EXPECT_EQ(Receive(body.substr(0, 100), true, 4097, 8192), msg::kChecksum);
}

TEST_F(KestrelTest, CountedBlockGrowsASmallBufferToTheBlock) {
  const std::string text(30, 'y');
  const char checksum = static_cast<char>(
      AdditiveChecksum(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
  line.Arrive(text + checksum);
  Echoing();
  EXPECT_EQ(Receive("", true, 31, /*capacity=*/8), 0);
  EXPECT_EQ(Text(), text);
}

TEST_F(KestrelTest, CountedBlockThatCannotFitGives7008) {
  EXPECT_EQ(Receive("", true, 31, /*capacity=*/8, /*maxBytes=*/16), msg::kBufferAlloc);
  EXPECT_EQ(line.Reads(), 0);
}

// --- Status replies ---

std::vector<std::uint8_t> Reply(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

TEST(StatusReplyTest, KstdReplyOfAtMost14CharactersLetsTheConnectionGoOn) {
  const auto reply = Reply("KSTD 0000000 ");  // 13 characters
  EXPECT_FALSE(ReadKstdStatus(reply).numberRead);
  EXPECT_FALSE(ReadKstdStatus(reply).mayEnd);
  // The text ends at its first NUL, whatever follows.
  auto withNul = Reply("KSTD:00000000000000000000000000000000000");
  withNul[14] = 0;
  EXPECT_FALSE(ReadKstdStatus(withNul).numberRead);
}

TEST(StatusReplyTest, KstdNumberAtCharacters8To14DecidesAgainst20480) {
  //                       1234567 8901234
  const auto low = Reply("STATUS 0020479 FREE 0000000 ABCDEFGHIJK");
  ASSERT_EQ(low.size(), 39u);
  EXPECT_TRUE(ReadKstdStatus(low).numberRead);
  EXPECT_TRUE(ReadKstdStatus(low).mayEnd);
  const auto high = Reply("STATUS 0020480 FREE 0000000 ABCDEFGHIJK");
  EXPECT_TRUE(ReadKstdStatus(high).numberRead);
  EXPECT_FALSE(ReadKstdStatus(high).mayEnd);
  // Only those seven characters count.
  const auto neighbours = Reply("9999999000000099999999999999999999999999");
  EXPECT_TRUE(ReadKstdStatus(neighbours).mayEnd);
}

std::uint8_t Sum(const std::vector<std::uint8_t>& bytes) { return AdditiveChecksum(bytes); }

TEST(StatusReplyTest, BoxReplyNumberAtCharacters10And11DecidesAgainst1) {
  //                          123456789 01
  const auto empty = Reply("KSTB OK  00 RECORDS");
  EXPECT_TRUE(ReadBoxStatus(empty, Sum(empty)).numberRead);
  EXPECT_TRUE(ReadBoxStatus(empty, Sum(empty)).mayEnd);
  const auto one = Reply("KSTB OK  01 RECORDS");
  EXPECT_TRUE(ReadBoxStatus(one, Sum(one)).numberRead);
  EXPECT_FALSE(ReadBoxStatus(one, Sum(one)).mayEnd);
  const auto neighbours = Reply("999999999009999999");
  EXPECT_TRUE(ReadBoxStatus(neighbours, Sum(neighbours)).mayEnd);
}

TEST(StatusReplyTest, BoxReplyWithoutOrWithAWrongChecksumIsNoAnswer) {
  const auto empty = Reply("KSTB OK  00 RECORDS");
  EXPECT_FALSE(ReadBoxStatus(empty, std::nullopt).numberRead);
  EXPECT_FALSE(ReadBoxStatus(empty, std::nullopt).mayEnd);
  EXPECT_FALSE(ReadBoxStatus(empty, static_cast<std::uint8_t>(Sum(empty) + 1)).numberRead);
  EXPECT_FALSE(ReadBoxStatus(empty, static_cast<std::uint8_t>(Sum(empty) + 1)).mayEnd);
}

TEST(StatusReplyTest, BoxReplyThatStopsBeforeItsNumberIsNoAnswer) {
  const auto shortReply = Reply("KSTB OK  0");
  EXPECT_FALSE(ReadBoxStatus(shortReply, Sum(shortReply)).numberRead);
  EXPECT_FALSE(ReadBoxStatus(shortReply, Sum(shortReply)).mayEnd);
}

}  // namespace
}  // namespace vr
