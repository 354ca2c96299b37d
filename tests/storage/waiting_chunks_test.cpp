// Chunks that neither the data file nor the overflow file takes: the rescue
// file, the memory behind it, what the worker's end does with them, an
// overflow file that cannot be opened while its data file can, and a full
// disk.

#include "storage/waiting_chunks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log/strings.h"
#include "storage/data_files.h"
#include "storage/merge.h"
#include "support/storage_test_env.h"

namespace vr {
namespace {

using test::AsBytes;
using test::Pattern;
using Note = test::RecordingNotifier::Note;

TEST(RescuePath, TheOverflowFileNameWithRBeforeItsExtension) {
  const struct {
    const char* overflow;
    const char* rescue;
  } kCases[] = {
      {"C:\\VREC\\0001CHIAMATE_D.TXT", "C:\\VREC\\0001CHIAMATE_D_R.TXT"},
      {"/opt/vrec/0001dati2_B.TXT", "/opt/vrec/0001dati2_B_R.TXT"},
      {"/opt/vrec/0001STORICO_S.TXT", "/opt/vrec/0001STORICO_S_R.TXT"},
      {"/opt/v.rec/0001X", "/opt/v.rec/0001X_R"},  // a dot in a directory is no extension
      {"0001X", "0001X_R"},
  };
  for (const auto& c : kCases) EXPECT_EQ(RescuePath(c.overflow), c.rescue) << c.overflow;
}

class WaitingChunksTest : public ::testing::Test, protected test::StorageTestEnv {
 protected:
  int Write(const std::string& chunk, const WriteOptions& options = {}) {
    return WriteRecords(context, dataPath, overflowPath, set, AsBytes(chunk), options);
  }
  std::string Data() const { return dir.Read("DATI.TXT"); }
  std::string Overflow() const { return dir.Read("S1DATI_D.TXT"); }
  std::string Rescue() const { return dir.Read("S1DATI_D_R.TXT"); }
  std::vector<std::string> DebugTexts() const {
    std::vector<std::string> texts;
    for (const Note& n : notifier.Notes())
      if (n.message == Message::kDebug) texts.push_back(n.text);
    return texts;
  }

  std::string dataPath = dir.File("DATI.TXT");
  std::string overflowPath = dir.File("S1DATI_D.TXT");
  std::string rescuePath = dir.File("S1DATI_D_R.TXT");
  DataFileSet set;
};

TEST_F(WaitingChunksTest, TheRescueFileTakesWhatTheOverflowFileRefusesAndGoesBackAfterIt) {
  files.HoldLock(dataPath);
  EXPECT_EQ(Write("A"), msg::kDataFileUnavailable);
  EXPECT_FALSE(std::filesystem::exists(rescuePath));  // created when first needed

  files.RefuseOpen(overflowPath);
  EXPECT_EQ(Write("B"), msg::kOverflowUnavailable);
  EXPECT_EQ(Write("C"), msg::kOverflowUnavailable);
  EXPECT_EQ(Rescue(), "BC");
  EXPECT_EQ(set.heldBytes, 0u);

  // A restart: nothing in memory, the files tell what waits.
  files.Heal();
  DataFileSet restarted;
  ASSERT_TRUE(PrepareDataFiles(context, dataPath, overflowPath, restarted));
  EXPECT_EQ(WriteRecords(context, dataPath, overflowPath, restarted, AsBytes("D")), 0);
  EXPECT_EQ(Data(), "ABCD");
  EXPECT_EQ(Overflow(), "");
  EXPECT_EQ(Rescue(), "");
}

TEST_F(WaitingChunksTest, AMergeTurnPoursTheRescueFileBackAfterTheOverflowFile) {
  files.HoldLock(dataPath);
  Write("A");
  files.FailWrite(overflowPath, 1, 0, FileStatus::kIoError, 2);
  Write("B");
  Write("C");  // behind B, which waits in the rescue file
  EXPECT_EQ(Overflow(), "A");
  EXPECT_EQ(Rescue(), "BC");

  // The data file still busy: the rescue file joins the overflow file.
  files.Heal();
  files.HoldLock(dataPath);
  MergeOverflowFile(context, overflowPath, dataPath, set);
  EXPECT_EQ(Overflow(), "ABC");
  EXPECT_EQ(Rescue(), "");

  files.ReleaseLock(dataPath);
  MergeOverflowFile(context, overflowPath, dataPath, set);
  EXPECT_EQ(Data(), "ABC");
  EXPECT_EQ(Overflow(), "");
}

// At the worker's end, chunks held in memory go to the rescue file when it
// can be written, and are reported as lost when not.
TEST_F(WaitingChunksTest, TheWorkersEndWritesHeldChunksToTheRescueFile) {
  const struct {
    const char* name;
    bool rescueWritable;
    std::vector<std::string> lines;
    std::string rescue;
  } kCases[] = {
      {"rescue file writable",
       true,
       {"Salvati 7 byte di dati nel file di soccorso " + dir.File("S1DATI_D_R.TXT") + "."},
       "uno\ndue"},
      {"rescue file refused", false, {"Persi 7 byte di dati."}, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    files.Heal();
    std::filesystem::remove(rescuePath);
    StorageState state;
    files.HoldLock(dataPath);
    files.RefuseOpen(overflowPath);
    files.RefuseOpen(rescuePath);
    WriteRecords(context, dataPath, overflowPath, state.main, AsBytes("uno\n"));
    WriteRecords(context, dataPath, overflowPath, state.main, AsBytes("due"));
    ASSERT_EQ(state.main.heldBytes, 7u);

    if (c.rescueWritable) files.AllowOpen(rescuePath);
    EXPECT_EQ(RescueHeldChunks(context, state), c.lines);
    EXPECT_EQ(Rescue(), c.rescue);
    EXPECT_EQ(state.main.heldBytes, c.rescueWritable ? 0u : 7u);
  }
}

// The data file is free but its overflow file, which holds records, cannot
// be opened: the newer records wait (in the rescue file) for FileTimeout,
// then go to the data file; the overflow file's content is reported once,
// and poured back, late, once the file opens again.
TEST_F(WaitingChunksTest, AnOverflowFileThatCannotBeOpenedHoldsRecordsBackForFileTimeoutOnly) {
  dir.Write("S1DATI_D.TXT", "vecchi\n");
  ASSERT_TRUE(PrepareDataFiles(context, dataPath, overflowPath, set));
  files.HoldLock(overflowPath);  // another process keeps it
  const WriteOptions options{false, 1000};

  EXPECT_EQ(Write("A", options), msg::kOverflowUnavailable);
  clock.AdvanceMs(999);
  EXPECT_EQ(Write("B", options), msg::kOverflowUnavailable);
  EXPECT_EQ(Data(), "");
  EXPECT_EQ(Rescue(), "AB");
  EXPECT_TRUE(DebugTexts().empty());

  clock.AdvanceMs(1);
  notifier.Clear();
  EXPECT_EQ(Write("C", options), 0);
  EXPECT_EQ(Data(), "ABC");
  const std::string stranded = "File di trabocco " + overflowPath +
                               " inaccessibile: i suoi 7 byte vi restano e i dati nuovi vanno "
                               "nel file dati.";
  EXPECT_EQ(DebugTexts(), std::vector<std::string>{stranded});

  notifier.Clear();
  clock.AdvanceMs(5000);
  EXPECT_EQ(Write("D", options), 0);
  EXPECT_EQ(Data(), "ABCD");
  EXPECT_TRUE(notifier.Notes().empty());  // reported once

  files.ReleaseLock(overflowPath);
  EXPECT_EQ(Write("E", options), 0);
  EXPECT_EQ(Data(), "ABCDvecchi\nE");
  EXPECT_EQ(Overflow(), "");
  EXPECT_EQ(DebugTexts().size(), 1u);  // and the late pour-back is logged
  EXPECT_FALSE(set.overflowPending);
}

TEST_F(WaitingChunksTest, WithoutATimeoutTheDataFileWaitsForTheOverflowFile) {
  dir.Write("S1DATI_D.TXT", "vecchi\n");
  ASSERT_TRUE(PrepareDataFiles(context, dataPath, overflowPath, set));
  files.HoldLock(overflowPath);
  Write("A");
  clock.AdvanceMs(86400000);
  Write("B");
  EXPECT_EQ(Data(), "");
  files.ReleaseLock(overflowPath);
  EXPECT_EQ(Write("C"), 0);
  EXPECT_EQ(Data(), "vecchi\nABC");
}

// The disk fills up for a while: the failures are logged by the first chunk
// of each set only, the chunks wait in memory, and once there is room again
// every one of them reaches its data file once, in order. A second spell is
// logged again.
TEST_F(WaitingChunksTest, AFullDiskIsLoggedOncePerSpellAndLosesNothing) {
  SiteSettings site = test::ThreeSetSite(dir);
  files.SetFreeBytes(std::uint64_t{1} << 40);
  StorageState state;
  ASSERT_TRUE(PrepareSiteDataFiles(context, site, state));

  std::string all;
  auto store = [&](unsigned i) {
    const std::string chunk = Pattern(2400, i);
    all += chunk;
    StoreChunk(context, site, state, AsBytes(chunk));
  };
  const std::vector<std::uint32_t> spell = {msg::kDataFileWrite, msg::kOverflowWrite,
                                            msg::kDataFileWrite, msg::kOverflowWrite,
                                            msg::kDataFileWrite, msg::kOverflowWrite};
  store(1);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("spell " + std::to_string(round + 1));
    notifier.Clear();
    files.FillDisk(100);  // each write gets a little in before the disk is full
    for (unsigned i = 0; i < 20; ++i) store(10 + 100 * static_cast<unsigned>(round) + i);
    EXPECT_EQ(notifier.Values(Message::kError), spell);
    EXPECT_TRUE(notifier.Values(Message::kWarning).empty());
    EXPECT_EQ(state.main.heldBytes, 20u * 2400u);

    files.FreeDisk();
    store(90 + static_cast<unsigned>(round));
    EXPECT_EQ(notifier.Values(Message::kError), spell);
    for (const char* name : {"D1.TXT", "D2.TXT", "ST.TXT"}) {
      const std::string data = dir.Read(name);
      EXPECT_EQ(data.size(), all.size()) << name;
      EXPECT_TRUE(data == all) << name;
    }
    EXPECT_EQ(state.main.heldBytes + state.second.heldBytes + state.history.heldBytes, 0u);
  }
}

}  // namespace
}  // namespace vr
