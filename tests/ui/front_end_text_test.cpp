#include "ui/front_end_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "log/strings.h"

namespace vr {
namespace {

TEST(DisplayTitle, SiteOnlyWhileOneIsServed) {
  EXPECT_EQ(DisplayTitle("Vesper Recorder COM7", "0001", 40),
            "Vesper Recorder COM7  0001  40 Linee ricevute");
  EXPECT_EQ(DisplayTitle("Vesper Recorder COM7", "", 0), "Vesper Recorder COM7  0 Linee ricevute");
}

TEST(WarningText, FreeSpaceWarningCarriesItsThreshold) {
  EXPECT_EQ(WarningText(msg::kDiskSpace, 50),
            std::string(MessageText(msg::kDiskSpace)) + "50MB.");
  EXPECT_EQ(WarningText(msg::kPortConnect, 50), MessageText(msg::kPortConnect));
}

// Lines of `width` characters ending in CR LF, `chars` characters in all.
std::string Lines(std::size_t chars, std::size_t width = 40) {
  std::string text;
  while (text.size() < chars) {
    std::string line(width - 2, static_cast<char>('a' + (text.size() / width) % 26));
    text += line + "\r\n";
  }
  text.resize(chars);
  return text;
}

TEST(AppendToDisplay, BelowTheLimitTheChunkIsAppendedUpToItsFirstNul) {
  const DisplayUpdate u = AppendToDisplay("old\r\n", std::string("new\r\n\0hidden", 12));
  EXPECT_EQ(u.text, "old\r\nnew\r\n");
  EXPECT_EQ(u.removedLineEnds, 0u);
}

TEST(AppendToDisplay, AtTheLimitTheFrontGoesUpToALineFeedAtOrAfterTheChunkLength) {
  const struct {
    const char* name;
    std::size_t shownChars;
    std::size_t chunkChars;
  } kCases[] = {
      {"31990 shown, 20 new", 31990, 20},
      {"exactly at the limit", 31960, 40},
      {"a chunk longer than a line", 31900, 130},
      {"a chunk that ends on a line feed position", 31999, 39},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string shown = Lines(c.shownChars);
    const std::string chunk = Lines(c.chunkChars, 10);
    const DisplayUpdate u = AppendToDisplay(shown, chunk);
    const std::size_t lineFeed = shown.find('\n', chunk.size());
    ASSERT_NE(lineFeed, std::string::npos);
    EXPECT_EQ(u.text, shown.substr(lineFeed + 1) + chunk);
    EXPECT_EQ(u.removedLineEnds,
              static_cast<std::size_t>(std::count(shown.begin(), shown.begin() + lineFeed + 1, '\n')));
    EXPECT_LT(u.text.size(), kDisplayLimitChars);
  }
}

TEST(AppendToDisplay, WithoutALineFeedToCutAtTheSearchEndCuts) {
  // The search stops two characters before the end and the cut takes the
  // character there too: only the last one of the old text stays.
  const std::string shown = std::string(31994, 'x') + "yz";
  const DisplayUpdate u = AppendToDisplay(shown, "12345\r\n");
  EXPECT_EQ(u.text, "z12345\r\n");
  EXPECT_EQ(u.removedLineEnds, 0u);
}

}  // namespace
}  // namespace vr
