// The PC side of the box protocol against the simulated Kestrel boxes: every
// exchange of the box table (one block and the status, terminated and
// counted), the block receiver's results and the echo rules, as the
// continuous reception drives them.

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "devices/kestrel.h"
#include "log/strings.h"
#include "sim/kestrel_box.h"
#include "sim/records.h"
#include "sim/simulated_line.h"

namespace vr {
namespace {

using sim::BoxFault;
using sim::KestrelModel;

constexpr std::uint32_t kReadChunkBytes = 2400;  // 1 s reads at 9600 baud

sim::KestrelConfig Config(KestrelModel model, int records, std::size_t blockMaxBytes = 1024) {
  sim::KestrelConfig config;
  config.model = model;
  config.generatedRecords = records;
  config.seed = 7;
  config.blockMaxBytes = blockMaxBytes;
  return config;
}

std::string AllRecords(int count) {
  std::string all;
  for (const std::string& r : sim::MakeCallRecords(count, 7)) all += r + "\r\n";
  return all;
}

class BoxProtocolTest : public ::testing::Test {
 protected:
  void Start(sim::KestrelConfig config) {
    box = std::make_unique<sim::KestrelBox>(std::move(config));
    line = std::make_unique<sim::SimulatedLine>(clock, *box);
    line->SetTimeouts({.readTotalMs = 1000, .writeTotalMs = 1000});
    buffer.assign(kReadChunkBytes + 1, 0);
  }

  // One terminated block as the reception takes it: resume, a chunk read,
  // hold without echo, then the block receiver.
  int TerminatedBlock(std::string& text) {
    EXPECT_TRUE(SendResumeCommand(*line, false));
    count = line->Read(std::span(buffer).first(kReadChunkBytes)).bytes;
    if (count == 0) return -1;
    SendHoldCommand(*line, false);
    blockBuffer = std::make_unique<VectorBlockBuffer>(buffer, kReadChunkBytes);
    const int result = ReceiveBlock(*line, *blockBuffer, count, false, 0);
    if (result == 0)
      text.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
    return result;
  }

  // One counted block: resume (its echo), the 2-byte header, the body.
  // -1 for the empty block.
  int CountedBlock(std::string& text) {
    EXPECT_TRUE(SendResumeCommand(*line, false));
    std::uint8_t header[2] = {};
    EXPECT_EQ(line->Read(header).bytes, 2u);
    const std::size_t expected = (std::size_t{header[0]} << 8 | header[1]) + 1;
    if (expected == 1) {
      // An empty block still carries its checksum byte.
      std::uint8_t checksum = 0xFF;
      line->Read(std::span(&checksum, 1));
      EXPECT_EQ(checksum, 0);
      return -1;
    }
    std::vector<std::uint8_t> body(8193, 0);
    VectorBlockBuffer blocks(body, 8192);
    count = line->Read(std::span(body).first(expected)).bytes;
    const int result = ReceiveBlock(*line, blocks, count, true, expected);
    if (result == 0) text.assign(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(count));
    return result;
  }

  ManualClock clock;
  std::unique_ptr<sim::KestrelBox> box;
  std::unique_ptr<sim::SimulatedLine> line;
  std::vector<std::uint8_t> buffer;
  std::unique_ptr<VectorBlockBuffer> blockBuffer;
  std::size_t count = 0;
};

class TerminatedBoxProtocolTest : public BoxProtocolTest,
                                  public ::testing::WithParamInterface<KestrelModel> {};

TEST_P(TerminatedBoxProtocolTest, OneBlockIsReceivedCheckedAcknowledgedAndTheBoxHeld) {
  Start(Config(GetParam(), 6));
  std::string text;
  ASSERT_EQ(TerminatedBlock(text), 0);
  EXPECT_EQ(text, AllRecords(6));
  EXPECT_EQ(box->Delivered(), text);
  EXPECT_EQ(box->BlocksAcknowledged(), 1);
  // 0x11; 0x13 (hold after the chunk); 0x17; 0x13 (hold with echo).
  EXPECT_EQ(box->Received(), "\x11\x13\x17\x13");
  EXPECT_EQ(line->PendingInputBytes(), 0u);
}

TEST_P(TerminatedBoxProtocolTest, BlockWithABadChecksumGives9004AndIsSentAgain) {
  Start(Config(GetParam(), 3));
  box->InjectFault(BoxFault::kBadChecksum);
  std::string text;
  EXPECT_EQ(TerminatedBlock(text), msg::kChecksum);
  EXPECT_EQ(box->BlocksAcknowledged(), 0);
  EXPECT_EQ(TerminatedBlock(text), 0);
  EXPECT_EQ(text, AllRecords(3));
  EXPECT_EQ(box->Delivered(), AllRecords(3));
}

TEST_P(TerminatedBoxProtocolTest, BlockWithoutHoldEchoAndChecksumGives9003) {
  Start(Config(GetParam(), 3));
  box->InjectFault(BoxFault::kShortBlock);
  std::string text;
  EXPECT_EQ(TerminatedBlock(text), msg::kBlockIncomplete);
  EXPECT_EQ(box->BlocksAcknowledged(), 0);
}

TEST_P(TerminatedBoxProtocolTest, MissingAcknowledgeEchoGives9004) {
  Start(Config(GetParam(), 3));
  box->DropEcho(sim::kBoxAck);
  std::string text;
  EXPECT_EQ(TerminatedBlock(text), msg::kChecksum);
}

TEST_P(TerminatedBoxProtocolTest, StatusTextIsCheckedAndReadAtCharacters10And11) {
  Start(Config(GetParam(), 4));
  ASSERT_TRUE(SendResumeCommand(*line, true));
  const std::size_t replyBytes = line->Read(std::span(buffer).first(kReadChunkBytes)).bytes;
  buffer[replyBytes] = 0;
  ASSERT_TRUE(SendHoldCommand(*line, true));
  std::uint8_t checksum = 0;
  ASSERT_EQ(line->Read(std::span(&checksum, 1)).bytes, 1u);
  const StatusReading reading = ReadBoxStatus(std::span(buffer).first(replyBytes), checksum);
  EXPECT_TRUE(reading.numberRead);
  EXPECT_FALSE(reading.mayEnd);  // 4 records stored
  EXPECT_EQ(box->Received(), "\x02\x13");
}

TEST_P(TerminatedBoxProtocolTest, StatusOfAnEmptiedBoxLetsTheConnectionEnd) {
  Start(Config(GetParam(), 2));
  std::string text;
  ASSERT_EQ(TerminatedBlock(text), 0);
  ASSERT_TRUE(SendResumeCommand(*line, true));
  const std::size_t replyBytes = line->Read(std::span(buffer).first(kReadChunkBytes)).bytes;
  ASSERT_TRUE(SendHoldCommand(*line, true));
  std::uint8_t checksum = 0;
  ASSERT_EQ(line->Read(std::span(&checksum, 1)).bytes, 1u);
  EXPECT_TRUE(ReadBoxStatus(std::span(buffer).first(replyBytes), checksum).mayEnd);
}

TEST_P(TerminatedBoxProtocolTest, StatusWithABadChecksumIsNoAnswer) {
  Start(Config(GetParam(), 0));
  box->InjectFault(BoxFault::kBadChecksum);
  ASSERT_TRUE(SendResumeCommand(*line, true));
  const std::size_t replyBytes = line->Read(std::span(buffer).first(kReadChunkBytes)).bytes;
  ASSERT_TRUE(SendHoldCommand(*line, true));
  std::uint8_t checksum = 0;
  ASSERT_EQ(line->Read(std::span(&checksum, 1)).bytes, 1u);
  const StatusReading reading = ReadBoxStatus(std::span(buffer).first(replyBytes), checksum);
  EXPECT_FALSE(reading.numberRead);
  EXPECT_FALSE(reading.mayEnd);
}

TEST_P(TerminatedBoxProtocolTest, ResumeWithoutEchoFailsAndTheNextOneIsEchoed) {
  Start(Config(GetParam(), 0));
  box->DropEcho(sim::kBoxResume);
  EXPECT_FALSE(SendResumeCommand(*line, false));
  EXPECT_EQ(box->Received(), "\x11");  // the first write went out: not written again
  EXPECT_TRUE(SendResumeCommand(*line, false));
}

TEST_P(TerminatedBoxProtocolTest, HoldEchoIsFoundBehindTheRecordBeingSent) {
  Start(Config(GetParam(), 3));
  ASSERT_TRUE(SendResumeCommand(*line, false));
  // The box is sending; the hold comes in the middle of its first record.
  std::uint8_t some[10];
  ASSERT_EQ(line->Read(some).bytes, 10u);
  EXPECT_TRUE(SendHoldCommand(*line, true));
}

TEST_P(TerminatedBoxProtocolTest, StrayBytesBeforeTheHoldEchoAreSkipped) {
  Start(Config(GetParam(), 0));
  box->InjectFault(BoxFault::kStrayBytes);
  EXPECT_TRUE(SendHoldCommand(*line, true));
}

TEST_P(TerminatedBoxProtocolTest, UnansweredHoldFails) {
  Start(Config(GetParam(), 0));
  box->InjectFault(BoxFault::kNoAnswer);
  EXPECT_FALSE(SendHoldCommand(*line, true));
}

INSTANTIATE_TEST_SUITE_P(Models, TerminatedBoxProtocolTest,
                         ::testing::Values(KestrelModel::kKsta, KestrelModel::kKstb,
                                           KestrelModel::kKstc),
                         [](const ::testing::TestParamInfo<KestrelModel>& model) {
                           return std::string(sim::KestrelModelName(model.param));
                         });

TEST_F(BoxProtocolTest, KstdBlocksAreReceivedUntilTheEmptyBlock) {
  Start(Config(KestrelModel::kKstd, 12, /*blockMaxBytes=*/300));
  std::string all;
  std::string text;
  int blocks = 0;
  for (int result = CountedBlock(text); result != -1; result = CountedBlock(text)) {
    ASSERT_EQ(result, 0);
    EXPECT_LE(text.size(), 300u);
    all += text;
    ++blocks;
  }
  EXPECT_EQ(all, AllRecords(12));
  EXPECT_EQ(box->Delivered(), all);
  EXPECT_EQ(box->BlocksAcknowledged(), blocks);
  EXPECT_GT(blocks, 1);
}

TEST_F(BoxProtocolTest, KstdBlockOfTheLargestSizeFitsOneRead) {
  Start(Config(KestrelModel::kKstd, 60, /*blockMaxBytes=*/4096));
  std::string text;
  ASSERT_EQ(CountedBlock(text), 0);
  EXPECT_EQ(text.size(), 4096u);
}

TEST_F(BoxProtocolTest, KstdBlockWithABadChecksumGives9004AndIsSentAgain) {
  Start(Config(KestrelModel::kKstd, 3));
  box->InjectFault(BoxFault::kBadChecksum);
  std::string text;
  EXPECT_EQ(CountedBlock(text), msg::kChecksum);
  EXPECT_EQ(box->BlocksAcknowledged(), 0);
  EXPECT_EQ(CountedBlock(text), 0);
  EXPECT_EQ(text, AllRecords(3));
}

TEST_F(BoxProtocolTest, KstdShortBlockGives9006) {
  Start(Config(KestrelModel::kKstd, 3));
  box->InjectFault(BoxFault::kShortBlock);
  std::string text;
  EXPECT_EQ(CountedBlock(text), msg::kBlockLength);
  EXPECT_EQ(box->BlocksAcknowledged(), 0);
}

TEST_F(BoxProtocolTest, KstdMissingAcknowledgeEchoGives9004) {
  Start(Config(KestrelModel::kKstd, 3));
  box->DropEcho(sim::kBoxAck);
  std::string text;
  EXPECT_EQ(CountedBlock(text), msg::kChecksum);
}

TEST_F(BoxProtocolTest, KstdStatusIsHoldStatusRequest39BytesHold) {
  Start(Config(KestrelModel::kKstd, 5));
  ASSERT_TRUE(SendHoldCommand(*line, true));
  ASSERT_TRUE(SendResumeCommand(*line, true));
  std::uint8_t reply[box::kKstdStatusBytes + 1] = {};
  const std::size_t replyBytes = line->Read(std::span(reply).first(box::kKstdStatusBytes)).bytes;
  ASSERT_EQ(replyBytes, box::kKstdStatusBytes);
  ASSERT_TRUE(SendHoldCommand(*line, true));
  const StatusReading reading = ReadKstdStatus(std::span(reply).first(replyBytes));
  EXPECT_TRUE(reading.numberRead);
  EXPECT_TRUE(reading.mayEnd);  // some hundred bytes stored: below 20480
  EXPECT_EQ(box->Received(), "\x13\x02\x13");

  box->SetStatusNumber(20480);
  ASSERT_TRUE(SendResumeCommand(*line, true));
  line->Read(std::span(reply).first(box::kKstdStatusBytes));
  EXPECT_FALSE(ReadKstdStatus(std::span(reply).first(box::kKstdStatusBytes)).mayEnd);
}

}  // namespace
}  // namespace vr
