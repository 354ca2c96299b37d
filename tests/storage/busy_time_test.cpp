// FileTimeout: warning 7001 once the main data file has refused chunks for
// longer than the site's FileTimeout, measured on the injected clock.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "log/strings.h"
#include "storage/data_files.h"
#include "support/storage_test_env.h"

namespace vr {
namespace {

using test::AsBytes;

constexpr int kBusy = msg::kDataFileUnavailable;
constexpr int kNeither = msg::kOverflowUnavailable;

struct Step {
  std::uint64_t atMs;    // tick of this chunk
  int mainResult;        // what the main WriteRecords returned
  bool closeBox;         // the user closed the 7001 box before this chunk
  std::size_t warnings;  // 7001 boxes posted so far
};

class BusyTimeTest : public ::testing::Test, protected test::StorageTestEnv {
 protected:
  void Run(std::uint32_t fileTimeoutMs, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      SCOPED_TRACE("at " + std::to_string(step.atMs) + " ms");
      clock.AdvanceMs(step.atMs - clock.TickMs());
      if (step.closeBox) flags.WarningPending(msg::kDataFileNotAccessible) = false;
      TrackDataFileBusyTime(context, state, step.mainResult, fileTimeoutMs);
      EXPECT_EQ(notifier.Values(Message::kWarning),
                std::vector<std::uint32_t>(step.warnings, msg::kDataFileNotAccessible));
    }
  }

  StorageState state;
};

TEST_F(BusyTimeTest, WarnsOnceAfterTheTimeoutAndMeasuresAgainAfterTheBoxCloses) {
  Run(1000, {
                {0, kBusy, false, 0},
                {1000, kBusy, false, 0},  // exactly the timeout is not beyond it
                {1001, kBusy, false, 1},
                {3000, kBusy, false, 1},  // the box is still open
                {3001, kBusy, true, 1},   // closed: a new measure starts here
                {4001, kBusy, false, 1},
                {4002, kBusy, false, 2},
            });
}

TEST_F(BusyTimeTest, AChunkThatReachesTheDataFileRestartsTheMeasure) {
  Run(1000, {
                {0, kBusy, false, 0},
                {900, 0, false, 0},
                {1200, kBusy, false, 0},
                {2100, kBusy, false, 0},
                {2201, kBusy, false, 1},
            });
}

TEST_F(BusyTimeTest, AChunkStoredNowhereCountsAsBusy) {
  Run(1000, {
                {0, kBusy, false, 0},
                {600, kNeither, false, 0},
                {1001, kNeither, false, 1},
            });
}

TEST_F(BusyTimeTest, ZeroTimeoutNeverWarns) {
  Run(0, {
             {0, kBusy, false, 0},
             {1, kBusy, false, 0},
             {86400000, kBusy, false, 0},
         });
}

TEST_F(BusyTimeTest, StoreChunkMeasuresTheMainDataFileOnly) {
  SiteSettings site = test::ThreeSetSite(dir);
  site.fileTimeoutMs = 500;

  // A busy second data file does not count.
  files.HoldLock(site.dati2);
  StoreChunk(context, site, state, AsBytes("a"));
  clock.AdvanceMs(501);
  StoreChunk(context, site, state, AsBytes("b"));
  EXPECT_TRUE(notifier.Values(Message::kWarning).empty());

  files.HoldLock(site.dati);
  StoreChunk(context, site, state, AsBytes("c"));
  clock.AdvanceMs(501);
  StoreChunk(context, site, state, AsBytes("d"));
  EXPECT_EQ(notifier.Values(Message::kWarning),
            (std::vector<std::uint32_t>{msg::kDataFileNotAccessible}));
}

}  // namespace
}  // namespace vr
