#include "acquisition/line_processing.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/line_buffers.h"
#include "base/civil_time.h"
#include "base/clock.h"
#include "config/settings.h"
#include "support/civil.h"

namespace vr {
namespace {

using namespace std::string_literals;

// Puts a chunk into the receive buffer, NUL-terminated, as a read would.
void Load(LineBuffers& buffers, std::string_view chunk) {
  ASSERT_LE(chunk.size(), buffers.Capacity());
  std::memcpy(buffers.Receive().data(), chunk.data(), chunk.size());
  buffers.Receive()[chunk.size()] = 0;
}

std::string Chunk(const LineBuffers& buffers, std::size_t count) {
  return std::string(reinterpret_cast<const char*>(buffers.Receive().data()), count);
}

// One site's processing, chunk after chunk.
struct Site {
  Site() { settings.lineHeader = false; }

  // Processes one chunk; checks the terminator and the display capacity.
  std::string Process(std::string_view chunk) {
    Load(buffers, chunk);
    result = ProcessChunk(buffers, chunk.size(), settings, code, clock, state);
    if (result.bufferUnavailable) return {};
    EXPECT_EQ(buffers.Receive()[result.count], 0) << "terminator";
    EXPECT_EQ(buffers.Display().size(), buffers.Receive().size());
    return Chunk(buffers, result.count);
  }

  SiteSettings settings;
  std::string code = "12";
  ManualClock clock;
  LineBuffers buffers;
  LineProcessingState state;
  ChunkResult result;
};


// ---------------------------------------------------------------------------
// DeleteCharacter

TEST(DeleteCharacterTest, RemovesEveryOccurrenceAndKeepsTheTerminator) {
  struct Case {
    std::string chunk;
    std::uint8_t byte;
    std::string expected;
  };
  // Deleting another byte leaves NULs in place (the last case).
  const Case cases[] = {
      {"AxBxx", 'x', "AB"}, {"xAxB", 'x', "AB"},      {"ABC", 'x', "ABC"}, {"xxx", 'x', ""},
      {"A\0B"s, 0, "AB"},   {"\0A\0\0B\0"s, 0, "AB"}, {"\0\0"s, 0, ""},    {"A\0B"s, 'B', "A\0"s},
  };
  for (const Case& c : cases) {
    // Bytes after the terminator must not leak into the chunk.
    std::vector<std::uint8_t> buffer(c.chunk.size() + 8, 'Z');
    std::memcpy(buffer.data(), c.chunk.data(), c.chunk.size());
    buffer[c.chunk.size()] = 0;
    std::size_t count = c.chunk.size();

    const std::ptrdiff_t change = DeleteCharacter(buffer, count, c.byte);

    const std::string result(reinterpret_cast<const char*>(buffer.data()), count);
    EXPECT_EQ(result, c.expected) << "deleting " << int{c.byte};
    EXPECT_EQ(change, static_cast<std::ptrdiff_t>(c.expected.size()) -
                          static_cast<std::ptrdiff_t>(c.chunk.size()));
    EXPECT_EQ(buffer[count], 0) << "terminator after deleting " << int{c.byte};
  }
}

// ---------------------------------------------------------------------------
// NormalizeLineEnds

TEST(NormalizeLineEndsTest, MakesEveryLineEndCrLf) {
  struct Case {
    std::string chunk;
    std::uint32_t carryIn;
    std::string expected;
    std::uint32_t carryOut;
    std::uint64_t lineEnds;
  };
  const Case cases[] = {
      {"AB\r", 0, "AB\r\n", kLineFeed, 1},
      {"\nXY", kLineFeed, "XY", 0, 0},            // second half of last chunk's CR LF
      {"\rXY", kCarriageReturn, "XY", 0, 0},      // second half of last chunk's LF CR
      {"\nXY", kCarriageReturn, "\r\nXY", 0, 1},  // not the awaited byte: a line end of its own
      {"\r", kLineFeed, "\r\n", kLineFeed, 1},
      {"\n", kLineFeed, "", 0, 0},
      {"", kCarriageReturn, "", 0, 0},
      {"AB\n", 0, "AB\r\n", kCarriageReturn, 1},
      {"\r\n", 0, "\r\n", 0, 1},
      {"\n\r", 0, "\r\n", 0, 1},
      {"A\n\rB", 0, "A\r\nB", 0, 1},
      {"A\r\rB", 0, "A\r\n\r\nB", 0, 2},
      {"\n\n", 0, "\r\n\r\n", kCarriageReturn, 2},
      {"\r\n\r", 0, "\r\n\r\n", kLineFeed, 2},
      {"\n\r\n", 0, "\r\n\r\n", kCarriageReturn, 2},  // LF CR pairs first, then a lone LF
      {"A\0\rB"s, 0, "A\0\r\nB"s, 0, 1},              // NUL is data here
      {"ABC", kLineFeed, "ABC", 0, 0},
  };
  for (const Case& c : cases) {
    LineBuffers buffers;
    Load(buffers, c.chunk);
    LineProcessingState state;
    state.lineEndCarry = c.carryIn;
    state.lineCount = 100;

    const std::size_t count = NormalizeLineEnds(buffers, c.chunk.size(), state);

    const std::string shown = testing::PrintToString(c.chunk);
    EXPECT_EQ(Chunk(buffers, count), c.expected) << shown;
    EXPECT_EQ(buffers.Receive()[count], 0) << shown;
    EXPECT_EQ(state.lineEndCarry, c.carryOut) << shown;
    EXPECT_EQ(state.lineCount, 100 + c.lineEnds) << shown;
  }
}

TEST(NormalizeLineEndsTest, GrowsByReadChunksWhileLineEndsNeedRoom) {
  LineBuffers buffers;
  ASSERT_TRUE(buffers.Resize(16));
  const std::string chunk(16, '\r');
  Load(buffers, chunk);
  LineProcessingState state;

  const std::size_t count = NormalizeLineEnds(buffers, chunk.size(), state);

  std::string expected;
  for (int i = 0; i < 16; ++i) expected += "\r\n";
  EXPECT_EQ(Chunk(buffers, count), expected);
  // The last CR asks for 16 + 15 inserted + 3 bytes: 34, reached in steps of 16.
  EXPECT_EQ(buffers.Capacity(), 48u);
  EXPECT_EQ(buffers.Display().size(), 49u);
  EXPECT_EQ(state.lineCount, 16u);
}

TEST(NormalizeLineEndsTest, GrowthFailureLeavesTheBufferUnavailable) {
  LineBuffers buffers(/*maxCapacityBytes=*/40);
  ASSERT_TRUE(buffers.Resize(16));
  Load(buffers, std::string(16, '\r'));
  LineProcessingState state;
  state.lineEndCarry = kLineFeed;

  EXPECT_EQ(NormalizeLineEnds(buffers, 16, state), 0u);
  EXPECT_FALSE(buffers.Available());
  EXPECT_EQ(state.lineEndCarry, 0u);
  // CR number k (from 0) needs 16 + k + 3 bytes: the first 14 fit in 32.
  EXPECT_EQ(state.lineCount, 14u);
  EXPECT_EQ(buffers.Display().size(), 33u);
}

// ---------------------------------------------------------------------------
// InsertLineHeaders

TEST(InsertLineHeadersTest, PutsAHeaderAtTheStartOfEveryLine) {
  using enum HeaderState;
  struct Case {
    HeaderState stateIn;
    std::string chunk;
    std::string expected;  // H stands for the header
    HeaderState stateOut;
  };
  const Case cases[] = {
      {kConnectionStart, "X\r\nY", "\r\nHX\r\nHY", kContinuesLine},
      {kConnectionStart, "\r\nX", "\r\nHX", kContinuesLine},
      {kConnectionStart, "\r\n", "\r\n", kLineStart},
      {kConnectionStart, "\r", "\r\nH\r", kContinuesLine},
      {kConnectionStart, "X\n", "\r\nHX\n", kLineStart},
      {kConnectionStart, "\nX", "\r\nH\nHX", kContinuesLine},
      {kLineStart, "X\r\nY", "HX\r\nHY", kContinuesLine},
      {kLineStart, "\r\n", "H\r\n", kLineStart},
      {kLineStart, "X", "HX", kContinuesLine},
      {kContinuesLine, "X\r\nY", "X\r\nHY", kContinuesLine},
      {kContinuesLine, "XY", "XY", kContinuesLine},
      {kContinuesLine, "X\r", "X\r", kContinuesLine},  // only LF ends a line here
      {kContinuesLine, "X\n", "X\n", kLineStart},
      {kContinuesLine, "\n\n\n", "\nH\nH\n", kLineStart},
      {kContinuesLine, "A\nB\0C\nD"s, "A\nHB\0C\nD"s, kContinuesLine},  // NUL ends the search
      {kContinuesLine, "A\0\nB"s, "A\0\nB"s, kContinuesLine},
      {kLineStart, "\0A\nB"s, "H\0A\nB"s, kContinuesLine},
  };
  const std::string header = "S    ";
  for (const Case& c : cases) {
    LineBuffers buffers;
    Load(buffers, c.chunk);
    std::size_t count = c.chunk.size();
    HeaderState state = c.stateIn;

    ASSERT_TRUE(InsertLineHeaders(
        buffers, count, {reinterpret_cast<const std::uint8_t*>(header.data()), header.size()},
        state));

    std::string expected;
    for (const char ch : c.expected) {
      if (ch == 'H') {
        expected += header;
      } else {
        expected += ch;
      }
    }
    const std::string shown = testing::PrintToString(c.chunk);
    EXPECT_EQ(Chunk(buffers, count), expected) << shown << " from state " << int(c.stateIn);
    EXPECT_EQ(buffers.Receive()[count], 0) << shown;
    EXPECT_EQ(state, c.stateOut) << shown << " from state " << int(c.stateIn);
  }
}

TEST(MakeLineHeaderTest, SiteCodeDateAndTimeInFixedColumns) {
  const std::int64_t when = test::SecondsAt(2010, 3, 5, 8, 7, 6);
  struct Case {
    std::string siteCode;
    bool withDate;
    bool withTime;
    std::string expected;
  };
  const Case cases[] = {
      {"12", false, false, "12   "},
      {"MI", true, false, "MI   20100305 "},
      {"MI", false, true, "MI   080706 "},
      {"MI", true, true, "MI   20100305 080706 "},
      {"ABCD", false, false, "ABCD "},
      {"ROMA1", false, false, "ROMA "},
      {"TORINO", true, true, "TORI 20100305 080706 "},
      {"", false, false, "     "},
  };
  for (const Case& c : cases) {
    const LineHeader header = MakeLineHeader(c.siteCode, c.withDate, c.withTime, when);
    const std::string text(header.View().begin(), header.View().end());
    EXPECT_EQ(text, c.expected);
  }
  const LineHeader late = MakeLineHeader("X", true, true, test::SecondsAt(1999, 12, 31, 23, 59, 59));
  EXPECT_EQ(std::string(late.View().begin(), late.View().end()), "X    19991231 235959 ");
}

// ---------------------------------------------------------------------------
// ProcessChunk

TEST(ProcessChunkTest, CrLfSplitAcrossChunksGivesOneLineEnd) {
  Site site;
  site.settings.correggiCR = 1;
  EXPECT_EQ(site.Process("AB\r"), "AB\r\n");
  EXPECT_EQ(site.state.lineEndCarry, kLineFeed);
  EXPECT_EQ(site.Process("\nXY"), "XY");
  EXPECT_EQ(site.state.lineEndCarry, 0u);
  EXPECT_EQ(site.state.lineCount, 1u);
}

TEST(ProcessChunkTest, DeletionListRemovesNulAndEscape) {
  Site site;
  site.settings.charToDel = {0x00, 0x1B};
  site.settings.correggiCR = 1;
  EXPECT_EQ(site.Process("A\0B\x1b"s + "C\0\r"s), "ABC\r\n");
  EXPECT_EQ(site.result.count, 5u);
  // A chunk made only of deleted bytes is dropped, headers or not.
  site.settings.lineHeader = true;
  EXPECT_EQ(site.Process("\0\x1b\0"s), "");
  EXPECT_EQ(site.result.count, 0u);
  EXPECT_FALSE(site.result.bufferUnavailable);
  EXPECT_EQ(site.state.headerState, HeaderState::kConnectionStart);
}

TEST(ProcessChunkTest, DeletedBytesGoBeforeLineEndsAreMatched) {
  // The NUL between CR and LF goes first, so they make one pair.
  Site site;
  site.settings.charToDel = {0x00};
  site.settings.correggiCR = 1;
  EXPECT_EQ(site.Process("A\r\0\nB"s), "A\r\nB");
  EXPECT_EQ(site.state.lineCount, 1u);
}

TEST(ProcessChunkTest, AlternativeLineEndBecomesCrOnlyWhenCorrecting) {
  struct Case {
    std::uint32_t correggiCR;
    std::uint8_t alternative;
    std::string expected;
    std::uint64_t lineEnds;
  };
  const Case cases[] = {
      {1, '|', "A\r\nB\r\n", 2},
      {1, 0, "A|B\r\n", 1},
      {1, 0x80, "A|B\r\n", 1},  // outside 1..127: no alternative
      {0, '|', "A|B\n", 0},     // CorreggiCR off: bytes and line counter untouched
  };
  for (const Case& c : cases) {
    Site site;
    site.settings.correggiCR = c.correggiCR;
    site.settings.crlfAlternativo = c.alternative;
    EXPECT_EQ(site.Process("A|B\n"), c.expected) << int{c.alternative};
    EXPECT_EQ(site.state.lineCount, c.lineEnds) << int{c.alternative};
  }
}

TEST(ProcessChunkTest, CorrectionOffLeavesLineEndsAndCarryAlone) {
  Site site;
  site.settings.correggiCR = 0;
  site.state.lineEndCarry = kLineFeed;
  EXPECT_EQ(site.Process("\nA\rB\n\rC"), "\nA\rB\n\rC");
  EXPECT_EQ(site.state.lineCount, 0u);
  EXPECT_EQ(site.state.lineEndCarry, kLineFeed);
}

TEST(ProcessChunkTest, ConnectionStartsWithAnEmptyLineThenHeaders) {
  Site site;
  site.settings.lineHeader = true;
  site.code = "12";
  EXPECT_EQ(site.Process("X\r\nY"), "\r\n12   X\r\n12   Y");
  EXPECT_EQ(site.state.headerState, HeaderState::kContinuesLine);
}

TEST(ProcessChunkTest, HeaderStatesFollowTheChunks) {
  Site site;
  site.settings.lineHeader = true;
  site.settings.correggiCR = 1;
  site.code = "S";
  struct Step {
    std::string chunk;
    std::string expected;
    HeaderState state;
    std::uint64_t lineEnds;
  };
  const Step steps[] = {
      {"A\r", "\r\nS    A\r\n", HeaderState::kLineStart, 1},
      {"\nB\r", "S    B\r\n", HeaderState::kLineStart, 2},  // LF completes the pair
      {"\nC", "S    C", HeaderState::kContinuesLine, 2},
      {"D\rE", "D\r\nS    E", HeaderState::kContinuesLine, 3},
      {"F\n", "F\r\n", HeaderState::kLineStart, 4},     // no header after the last LF...
      {"G", "S    G", HeaderState::kContinuesLine, 4},  // ...it waits for this chunk
  };
  for (const Step& s : steps) {
    EXPECT_EQ(site.Process(s.chunk), s.expected) << testing::PrintToString(s.chunk);
    EXPECT_EQ(site.state.headerState, s.state) << testing::PrintToString(s.chunk);
    EXPECT_EQ(site.state.lineCount, s.lineEnds) << testing::PrintToString(s.chunk);
  }
}

TEST(ProcessChunkTest, HeadersCarryTheClockDateAndTime) {
  Site site;
  site.settings.lineHeader = true;
  site.settings.aggData = 1;
  site.settings.aggOra = 1;
  site.code = "MILANO";
  site.state.headerState = HeaderState::kLineStart;
  site.clock.Set(test::SecondsAt(2024, 2, 29, 23, 5, 9));
  EXPECT_EQ(site.Process("A\r\nB"), "MILA 20240229 230509 A\r\nMILA 20240229 230509 B");
  site.clock.Set(test::SecondsAt(2024, 3, 1, 0, 0, 0));
  EXPECT_EQ(site.Process("\r\nC"), "\r\nMILA 20240301 000000 C");
}

// A clock that moves one second each time it is read.
class TickingClock final : public Clock {
 public:
  LocalNow Now() const override { return {seconds_++, 0}; }
  std::uint64_t TickMs() const override { return 0; }
  void SleepMs(std::uint32_t) const override {}

 private:
  mutable std::int64_t seconds_ = test::SecondsAt(2020, 1, 1, 10, 0, 0);
};

TEST(ProcessChunkTest, AllLinesOfAChunkShareOneReadingOfTheClock) {
  SiteSettings settings;
  settings.aggOra = 1;
  LineBuffers buffers;
  LineProcessingState state;
  state.headerState = HeaderState::kLineStart;
  TickingClock clock;
  Load(buffers, "A\r\nB\r\nC");
  ChunkResult result = ProcessChunk(buffers, 7, settings, "S", clock, state);
  EXPECT_EQ(Chunk(buffers, result.count), "S    100000 A\r\nS    100000 B\r\nS    100000 C");
  Load(buffers, "\r\nD");
  result = ProcessChunk(buffers, 3, settings, "S", clock, state);
  EXPECT_EQ(Chunk(buffers, result.count), "\r\nS    100001 D");
}

TEST(ProcessChunkTest, FullBufferKeepsItsTerminator) {
  Site site;
  ASSERT_TRUE(site.buffers.Resize(4));
  EXPECT_EQ(site.Process("ABCD"), "ABCD");
  site.settings.correggiCR = 1;
  EXPECT_EQ(site.Process("ABC\r"), "ABC\r\n");
  EXPECT_EQ(site.buffers.Capacity(), 8u);
}

TEST(ProcessChunkTest, HeadersGrowTheBuffersAndTheDisplayFollows) {
  Site site;
  site.settings.lineHeader = true;
  site.state.headerState = HeaderState::kLineStart;
  ASSERT_TRUE(site.buffers.Resize(10));
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += "12   \n";

  EXPECT_EQ(site.Process(std::string(10, '\n')), expected);
  // The tenth header asks for 10 + 9 * 5 + 22 = 77 bytes, reached in steps of 10.
  EXPECT_EQ(site.buffers.Capacity(), 80u);
  EXPECT_EQ(site.buffers.Display().size(), 81u);
  EXPECT_EQ(site.state.headerState, HeaderState::kLineStart);
}

TEST(ProcessChunkTest, GrowthFailureReportsAnUnavailableBuffer) {
  struct Case {
    const char* name;
    std::size_t maxCapacityBytes;
    bool correggiCR;
    bool lineHeader;
    HeaderState headerStateIn;
    std::string chunk;
    HeaderState headerStateOut;
    std::size_t displayBytes;  // the last capacity reached, + 1
  };
  const Case cases[] = {
      // The ninth of ten lone CRs needs 10 + 8 + 3 bytes.
      {"line ends", 20, true, false, HeaderState::kLineStart, std::string(10, '\r'),
       HeaderState::kLineStart, 21},
      // The fifth header needs 10 + 4 * 5 + 22 = 52 bytes.
      {"headers", 50, false, true, HeaderState::kLineStart, std::string(10, '\n'),
       HeaderState::kContinuesLine, 51},
      // The leading CR LF of a connection needs 10 + 3 bytes; the state stays.
      {"leading line end", 12, false, true, HeaderState::kConnectionStart, "ABCDEFGHIJ",
       HeaderState::kConnectionStart, 11},
  };
  for (const Case& c : cases) {
    Site site;
    site.buffers = LineBuffers(c.maxCapacityBytes);
    ASSERT_TRUE(site.buffers.Resize(10));
    site.settings.correggiCR = c.correggiCR;
    site.settings.lineHeader = c.lineHeader;
    site.state.headerState = c.headerStateIn;

    site.Process(c.chunk);

    EXPECT_TRUE(site.result.bufferUnavailable) << c.name;
    EXPECT_EQ(site.result.count, 0u) << c.name;
    EXPECT_FALSE(site.buffers.Available()) << c.name;
    EXPECT_EQ(site.state.headerState, c.headerStateOut) << c.name;
    // The display buffer keeps a capacity that held every chunk so far.
    EXPECT_EQ(site.buffers.Display().size(), c.displayBytes) << c.name;

    // Nothing more is processed until the buffers are set up again.
    EXPECT_TRUE(ProcessChunk(site.buffers, 0, site.settings, site.code, site.clock, site.state)
                    .bufferUnavailable)
        << c.name;
  }
}

}  // namespace
}  // namespace vr
