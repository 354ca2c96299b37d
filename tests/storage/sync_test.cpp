// Sincronizza: every stored chunk is flushed to the disk, in whichever file
// took it, before StoreChunk returns; a flush that fails counts as a failed
// write.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/strings.h"
#include "storage/data_files.h"
#include "support/storage_test_env.h"

namespace vr {
namespace {

using test::AsBytes;

TEST(Sync, EachChunkIsFlushedInTheFileThatTookItOnlyWithSincronizza) {
  const struct {
    const char* name;
    bool sincronizza;
    bool mainBusy;
    int mainDataSyncs, mainOverflowSyncs, otherSetsSyncs;  // after two chunks
  } kCases[] = {
      {"off", false, false, 0, 0, 0},
      {"off, main data file busy", false, true, 0, 0, 0},
      {"on", true, false, 2, 0, 2},
      {"on, main data file busy", true, true, 0, 2, 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    test::StorageTestEnv env;
    SiteSettings site = test::ThreeSetSite(env.dir);
    site.sincronizza = c.sincronizza;
    env.files.SetFreeBytes(std::uint64_t{1} << 40);
    StorageState state;
    ASSERT_TRUE(PrepareSiteDataFiles(env.context, site, state));
    if (c.mainBusy) env.files.HoldLock(site.dati);
    StoreChunk(env.context, site, state, AsBytes("uno\r\n"));
    StoreChunk(env.context, site, state, AsBytes("due\r\n"));
    EXPECT_EQ(env.files.SyncCount(site.dati), c.mainDataSyncs);
    EXPECT_EQ(env.files.SyncCount(site.datiOverflow), c.mainOverflowSyncs);
    EXPECT_EQ(env.files.SyncCount(site.dati2), c.otherSetsSyncs);
    EXPECT_EQ(env.files.SyncCount(site.storico), c.otherSetsSyncs);
    EXPECT_EQ(env.dir.Read(c.mainBusy ? "S1D1_D.TXT" : "D1.TXT"), "uno\r\ndue\r\n");
  }
}

class SyncTest : public ::testing::Test, protected test::StorageTestEnv {
 protected:
  SyncTest() { files.SetFreeBytes(std::uint64_t{1} << 40); }
  SiteSettings site = test::ThreeSetSite(dir);
  StorageState state;
};

TEST_F(SyncTest, AChunkThatCannotBeFlushedGoesBehindAsIfItsWriteHadFailed) {
  site.sincronizza = true;
  ASSERT_TRUE(PrepareSiteDataFiles(context, site, state));
  files.FailSync(site.dati);
  StoreChunk(context, site, state, AsBytes("uno\r\n"));
  EXPECT_EQ(dir.Read("D1.TXT"), "");  // not left there as well
  EXPECT_EQ(dir.Read("S1D1_D.TXT"), "uno\r\n");
  EXPECT_EQ(files.SyncCount(site.datiOverflow), 1);
  EXPECT_EQ(notifier.Values(Message::kError), (std::vector<std::uint32_t>{msg::kDataFileWrite}));

  // The overflow file cannot be flushed either, while the data file is busy:
  // the rescue file takes the chunk, flushed.
  files.HoldLock(site.dati);
  files.FailSync(site.datiOverflow);
  StoreChunk(context, site, state, AsBytes("due\r\n"));
  EXPECT_EQ(dir.Read("S1D1_D.TXT"), "uno\r\n");
  EXPECT_EQ(dir.Read("S1D1_D_R.TXT"), "due\r\n");
  EXPECT_EQ(files.SyncCount(RescuePath(site.datiOverflow)), 1);

  files.Heal();
  StoreChunk(context, site, state, AsBytes("tre\r\n"));
  EXPECT_EQ(dir.Read("D1.TXT"), "uno\r\ndue\r\ntre\r\n");
  EXPECT_EQ(dir.Read("D2.TXT"), "uno\r\ndue\r\ntre\r\n");
}

}  // namespace
}  // namespace vr
