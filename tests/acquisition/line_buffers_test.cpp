#include "acquisition/line_buffers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vr {
namespace {

bool AllZero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

void Fill(std::span<std::uint8_t> bytes, std::uint8_t first) {
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
}

TEST(LineBuffersTest, StartWithEightKibibytesOfZeros) {
  LineBuffers buffers;
  ASSERT_TRUE(buffers.Available());
  EXPECT_EQ(buffers.Capacity(), 8192u);
  EXPECT_EQ(buffers.ReadChunk(), 8192u);
  // One byte beyond the capacity holds the NUL after a full chunk.
  EXPECT_EQ(buffers.Receive().size(), 8193u);
  EXPECT_EQ(buffers.Display().size(), 8193u);
  EXPECT_EQ(buffers.Scratch().size(), 8193u);
  EXPECT_TRUE(AllZero(buffers.Receive()));
  EXPECT_TRUE(AllZero(buffers.Display()));
}

TEST(LineBuffersTest, ResizeSetsCapacityAndReadChunk) {
  LineBuffers buffers;
  ASSERT_TRUE(buffers.Resize(2400));
  EXPECT_EQ(buffers.Capacity(), 2400u);
  EXPECT_EQ(buffers.ReadChunk(), 2400u);
  EXPECT_EQ(buffers.Receive().size(), 2401u);
  EXPECT_EQ(buffers.Display().size(), 2401u);
  EXPECT_EQ(buffers.Scratch().size(), 2401u);
}

TEST(LineBuffersTest, GrowthKeepsContentAndZeroesTheNewBytes) {
  LineBuffers buffers;
  ASSERT_TRUE(buffers.Resize(10));
  Fill(buffers.Receive(), 1);
  Fill(buffers.Display(), 101);

  ASSERT_TRUE(buffers.GrowLineBuffers());
  EXPECT_EQ(buffers.Capacity(), 20u);
  ASSERT_EQ(buffers.Receive().size(), 21u);
  ASSERT_EQ(buffers.Display().size(), 21u);
  EXPECT_EQ(buffers.Scratch().size(), 21u);
  for (std::size_t i = 0; i <= 10; ++i) {
    EXPECT_EQ(buffers.Receive()[i], 1 + i) << i;
    EXPECT_EQ(buffers.Display()[i], 101 + i) << i;
  }
  EXPECT_TRUE(AllZero(buffers.Receive().subspan(11)));
  EXPECT_TRUE(AllZero(buffers.Display().subspan(11)));
}

TEST(LineBuffersTest, GrowthStepFollowsTheReadChunk) {
  LineBuffers buffers;
  ASSERT_TRUE(buffers.Resize(100));
  buffers.SetReadChunk(7);
  ASSERT_TRUE(buffers.GrowLineBuffers());
  EXPECT_EQ(buffers.Capacity(), 107u);
  ASSERT_TRUE(buffers.GrowLineBuffers());
  EXPECT_EQ(buffers.Capacity(), 114u);
}

TEST(LineBuffersTest, GrowthPastTheLimitLeavesTheReceiveBufferUnavailable) {
  LineBuffers buffers(/*maxCapacityBytes=*/25);
  ASSERT_TRUE(buffers.Resize(10));
  ASSERT_TRUE(buffers.GrowLineBuffers());  // 20
  Fill(buffers.Display(), 1);

  EXPECT_FALSE(buffers.GrowLineBuffers());  // 30 > 25
  EXPECT_FALSE(buffers.Available());
  EXPECT_EQ(buffers.Capacity(), 0u);
  EXPECT_TRUE(buffers.Receive().empty());
  // The display buffer still holds what the main window may be reading.
  ASSERT_EQ(buffers.Display().size(), 21u);
  EXPECT_EQ(buffers.Display()[20], 21);
  EXPECT_FALSE(buffers.GrowLineBuffers());

  // Opening the next line brings the buffers back.
  ASSERT_TRUE(buffers.Resize(12));
  EXPECT_TRUE(buffers.Available());
  EXPECT_EQ(buffers.Capacity(), 12u);
  EXPECT_EQ(buffers.Receive().size(), buffers.Display().size());
}

TEST(LineBuffersTest, ResizeRefusesWhatCannotBeHad) {
  struct Case {
    std::size_t maxCapacityBytes;
    std::size_t readChunkBytes;
  };
  const Case cases[] = {
      {LineBuffers::kNoCapacityLimit, 0},  // no read chunk: nothing to grow by
      {9000, 9001},
      {9000, LineBuffers::kNoCapacityLimit},
  };
  for (const Case& c : cases) {
    LineBuffers buffers(c.maxCapacityBytes);
    ASSERT_TRUE(buffers.Available());
    EXPECT_FALSE(buffers.Resize(c.readChunkBytes)) << c.readChunkBytes;
    EXPECT_FALSE(buffers.Available()) << c.readChunkBytes;
    EXPECT_FALSE(buffers.GrowLineBuffers()) << c.readChunkBytes;
  }
}

TEST(LineBuffersTest, InitialAllocationAboveTheLimitFails) {
  LineBuffers buffers(/*maxCapacityBytes=*/8191);
  EXPECT_FALSE(buffers.Available());
  EXPECT_EQ(buffers.Capacity(), 0u);
}

TEST(LineBuffersTest, GrowthThatWouldOverflowTheSizeFails) {
  LineBuffers buffers;
  ASSERT_TRUE(buffers.Resize(16));
  buffers.SetReadChunk(LineBuffers::kNoCapacityLimit - 8);
  EXPECT_FALSE(buffers.GrowLineBuffers());
  EXPECT_FALSE(buffers.Available());
}

TEST(LineBuffersTest, SwapExchangesReceiveAndScratchContent) {
  LineBuffers buffers;
  ASSERT_TRUE(buffers.Resize(4));
  Fill(buffers.Receive(), 1);
  Fill(buffers.Scratch(), 50);
  buffers.SwapReceiveAndScratch();
  EXPECT_EQ(buffers.Receive()[0], 50);
  EXPECT_EQ(buffers.Scratch()[0], 1);
  EXPECT_EQ(buffers.Receive().size(), buffers.Scratch().size());
}

}  // namespace
}  // namespace vr
