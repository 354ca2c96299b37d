#include "storage/data_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log/strings.h"
#include "storage/merge.h"
#include "support/storage_test_env.h"

namespace vr {
namespace {

using test::AsBytes;
using test::Pattern;
using Note = test::RecordingNotifier::Note;

constexpr int kPourBackFailedId = 5008;
constexpr int kDataFileWriteId = 5009;

class DataFilesTest : public ::testing::Test, protected test::StorageTestEnv {
 protected:
  int Write(const std::string& chunk) {
    return WriteRecords(context, dataPath, overflowPath, set, AsBytes(chunk));
  }
  std::string Data() const { return dir.Read("DATI.TXT"); }
  std::string Overflow() const { return dir.Read("S1DATI_D.TXT"); }

  std::string dataPath = dir.File("DATI.TXT");
  std::string overflowPath = dir.File("S1DATI_D.TXT");
  DataFileSet set;
};

TEST_F(DataFilesTest, FreeDataFileTakesEveryChunkInOrder) {
  EXPECT_EQ(Write("uno\r\n"), 0);
  EXPECT_EQ(Write("due\r\n"), 0);
  EXPECT_EQ(Data(), "uno\r\ndue\r\n");
  EXPECT_FALSE(std::filesystem::exists(overflowPath));
  EXPECT_TRUE(notifier.Notes().empty());
}

TEST_F(DataFilesTest, BusyForThreeChunksThenFreePoursBackBeforeTheFourth) {
  files.HoldLock(dataPath);
  EXPECT_EQ(Write("uno\r\n"), msg::kDataFileUnavailable);
  EXPECT_EQ(Write("due\r\n"), msg::kDataFileUnavailable);
  EXPECT_EQ(Write("tre\r\n"), msg::kDataFileUnavailable);
  const Note busy = Error(msg::kDataFileUnavailable);
  EXPECT_EQ(notifier.Notes(), (std::vector<Note>{busy, busy, busy}));
  EXPECT_EQ(Overflow(), "uno\r\ndue\r\ntre\r\n");
  EXPECT_EQ(Data(), "");
  EXPECT_TRUE(set.overflowPending);

  files.ReleaseLock(dataPath);
  notifier.Clear();
  EXPECT_EQ(Write("quattro\r\n"), 0);
  EXPECT_EQ(Data(), "uno\r\ndue\r\ntre\r\nquattro\r\n");
  EXPECT_TRUE(std::filesystem::exists(overflowPath));
  EXPECT_EQ(std::filesystem::file_size(overflowPath), 0u);
  EXPECT_FALSE(set.overflowPending);
  EXPECT_TRUE(notifier.Notes().empty());
}

TEST_F(DataFilesTest, RestartFindsOverflowDataAndFirstWritePoursItBack) {
  dir.Write("S1DATI_D.TXT", "rimasti\r\n");
  ASSERT_TRUE(PrepareDataFiles(context, dataPath, overflowPath, set));
  EXPECT_TRUE(set.overflowPending);
  EXPECT_TRUE(std::filesystem::exists(dataPath));

  EXPECT_EQ(Write("nuovi\r\n"), 0);
  EXPECT_EQ(Data(), "rimasti\r\nnuovi\r\n");
  EXPECT_EQ(Overflow(), "");
  EXPECT_FALSE(set.overflowPending);
}

TEST_F(DataFilesTest, PrepareCreatesMissingFilesAndLeavesEmptyOverflowNotPending) {
  ASSERT_TRUE(PrepareDataFiles(context, dataPath, overflowPath, set));
  EXPECT_TRUE(std::filesystem::exists(dataPath));
  EXPECT_TRUE(std::filesystem::exists(overflowPath));
  EXPECT_FALSE(set.overflowPending);
  // Preparing must not empty a data file that the importer has not taken yet.
  dir.Write("DATI.TXT", "dati\r\n");
  ASSERT_TRUE(PrepareDataFiles(context, dataPath, overflowPath, set));
  EXPECT_EQ(Data(), "dati\r\n");
  EXPECT_FALSE(set.overflowPending);
}

TEST_F(DataFilesTest, PrepareWorksWhileTheImporterHoldsTheDataFile) {
  dir.Write("S1DATI_D.TXT", "x");
  files.HoldLock(dataPath);
  files.HoldLock(overflowPath);
  EXPECT_TRUE(PrepareDataFiles(context, dataPath, overflowPath, set));
  EXPECT_TRUE(set.overflowPending);
}

TEST_F(DataFilesTest, PrepareReportsAnOverflowFileThatCannotBeCreated) {
  files.RefuseOpen(overflowPath);
  EXPECT_FALSE(PrepareDataFiles(context, dataPath, overflowPath, set));
  EXPECT_EQ(notifier.Notes(), (std::vector<Note>{Error(msg::kDataFilesCreate)}));
}

TEST_F(DataFilesTest, DataPathInMissingDirectoryAccumulatesInOverflowFile) {
  dataPath = dir.File("manca") + "/DATI.TXT";
  std::string all;
  for (int i = 0; i < 4; ++i) {
    const std::string chunk = "record " + std::to_string(i) + "\r\n";
    all += chunk;
    EXPECT_EQ(Write(chunk), msg::kDataFileUnavailable) << i;
  }
  EXPECT_EQ(Overflow(), all);
  EXPECT_EQ(notifier.Values(Message::kError),
            std::vector<std::uint32_t>(4, msg::kDataFileUnavailable));
  EXPECT_TRUE(notifier.Values(Message::kWarning).empty());
}

// The data file busy and the overflow file failing in several ways: one error
// line per chunk, one warning box until the user closes it.
TEST_F(DataFilesTest, OverflowFailureWhileBusyWarnsOnceWhilePending) {
  const struct {
    const char* name;
    void (*fail)(test::FaultyFileSystem&, const std::string& overflow);
    int warningId;
    std::vector<int> firstErrors;  // the error lines of one chunk, in order
  } kCases[] = {
      {"open refused",
       [](test::FaultyFileSystem& f, const std::string& o) { f.RefuseOpen(o); },
       msg::kOverflowOpen,
       {msg::kDataFilesCreate, msg::kDataFileUnavailable, msg::kDataFilesCreate,
        msg::kOverflowOpen}},
      {"held by another writer",
       [](test::FaultyFileSystem& f, const std::string& o) { f.HoldLock(o); },
       msg::kOverflowOpen,
       {msg::kDataFileUnavailable, msg::kOverflowOpen}},
      {"write fails",
       [](test::FaultyFileSystem& f, const std::string& o) {
         f.FailWrite(o, 1, 0, FileStatus::kIoError, -1);
       },
       msg::kOverflowWrite,
       {msg::kDataFileUnavailable, msg::kOverflowWrite}},
      {"disk full after part of the chunk",
       [](test::FaultyFileSystem& f, const std::string& o) {
         f.FailWrite(o, 1, 3, FileStatus::kNoSpace, -1);
       },
       msg::kOverflowWrite,
       {msg::kDataFileUnavailable, msg::kOverflowWrite}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    files.Heal();
    notifier.Clear();
    flags.ClearWarnings();
    set = {};
    std::filesystem::remove(overflowPath);
    files.HoldLock(dataPath);
    c.fail(files, overflowPath);

    EXPECT_EQ(Write("primo\r\n"), msg::kOverflowUnavailable);
    std::vector<Note> first;
    for (int id : c.firstErrors) first.push_back(Error(id));
    first.push_back(Warning(c.warningId));
    EXPECT_EQ(notifier.Notes(), first);
    EXPECT_TRUE(flags.WarningPending(c.warningId));

    EXPECT_EQ(Write("secondo\r\n"), msg::kOverflowUnavailable);
    std::vector<std::uint32_t> errors;
    for (std::uint32_t v : notifier.Values(Message::kError))
      if (v == static_cast<std::uint32_t>(c.warningId)) errors.push_back(v);
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(notifier.Values(Message::kWarning),
              (std::vector<std::uint32_t>{static_cast<std::uint32_t>(c.warningId)}));

    // The user closed the box: the next failure shows it again.
    flags.WarningPending(c.warningId) = false;
    EXPECT_EQ(Write("terzo\r\n"), msg::kOverflowUnavailable);
    EXPECT_EQ(notifier.Values(Message::kWarning).size(), 2u);
    // A cut-short write left nothing behind.
    EXPECT_EQ(Overflow(), "");
  }
}

TEST_F(DataFilesTest, FailedWriteToOpenDataFileGoesToOverflowWithoutPartOfIt) {
  dir.Write("DATI.TXT", "prima\r\n");
  files.FailWrite(dataPath, 1, 4, FileStatus::kNoSpace);
  EXPECT_EQ(Write("chunk A\r\n"), msg::kDataFileUnavailable);
  EXPECT_EQ(notifier.Notes(), (std::vector<Note>{Error(kDataFileWriteId)}));
  EXPECT_EQ(Data(), "prima\r\n");
  EXPECT_EQ(Overflow(), "chunk A\r\n");
  EXPECT_TRUE(set.overflowPending);

  EXPECT_EQ(Write("chunk B\r\n"), 0);
  EXPECT_EQ(Data(), "prima\r\nchunk A\r\nchunk B\r\n");
  EXPECT_EQ(Overflow(), "");
}

TEST_F(DataFilesTest, OpenDataFileThatFailsWithOverflowUnusablePostsNoBox) {
  files.FailWrite(dataPath);
  files.RefuseOpen(overflowPath);
  EXPECT_EQ(Write("A"), msg::kOverflowUnavailable);
  EXPECT_EQ(notifier.Notes(),
            (std::vector<Note>{Error(kDataFileWriteId), Error(msg::kOverflowOpen)}));
  EXPECT_FALSE(flags.WarningPending(msg::kOverflowOpen));

  notifier.Clear();
  files.Heal();
  files.FailWrite(dataPath);
  files.FailWrite(overflowPath);
  EXPECT_EQ(Write("B"), msg::kOverflowUnavailable);
  EXPECT_EQ(notifier.Notes(),
            (std::vector<Note>{Error(kDataFileWriteId), Error(msg::kOverflowWrite)}));

  files.Heal();
  EXPECT_EQ(Write("C"), 0);
  EXPECT_EQ(Data(), "ABC");
}

// A pour-back that stops part way: whatever the failure, the data file goes
// back to its old length, the overflow file keeps everything, and the next
// write copies each byte exactly once.
TEST_F(DataFilesTest, PourBackFailingPartWayLeavesNoDuplicates) {
  const struct {
    const char* name;
    void (*fail)(test::FaultyFileSystem&, const std::string& data, const std::string& overflow);
  } kCases[] = {
      {"second block cut short",
       [](auto& f, const std::string& d, const std::string&) {
         f.FailWrite(d, 2, 5000, FileStatus::kNoSpace);
       }},
      {"first block refused",
       [](auto& f, const std::string& d, const std::string&) { f.FailWrite(d, 1); }},
      {"third read fails",
       [](auto& f, const std::string&, const std::string& o) { f.FailRead(o, 3); }},
      {"overflow file cannot be emptied",
       [](auto& f, const std::string&, const std::string& o) { f.FailTruncate(o, 1); }},
  };
  const std::string old = "gia importabili\r\n";
  const std::string parked = Pattern(250000);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    files.Heal();
    notifier.Clear();
    dir.Write("DATI.TXT", old);
    dir.Write("S1DATI_D.TXT", parked);
    set = {};
    set.overflowPending = true;
    c.fail(files, dataPath, overflowPath);

    EXPECT_EQ(Write("A\r\n"), msg::kDataFileUnavailable);
    EXPECT_EQ(notifier.Notes(), (std::vector<Note>{Error(kPourBackFailedId)}));
    EXPECT_EQ(Data(), old);
    // The new chunk waits behind the parked data, not in front of it.
    EXPECT_EQ(Overflow(), parked + "A\r\n");
    EXPECT_TRUE(set.overflowPending);

    files.Heal();
    EXPECT_EQ(Write("B\r\n"), 0);
    EXPECT_EQ(Data(), old + parked + "A\r\nB\r\n");
    EXPECT_EQ(Overflow(), "");
  }
}

TEST_F(DataFilesTest, PourBackCopiesInBlocksOf120000Bytes) {
  dir.Write("S1DATI_D.TXT", Pattern(250000));
  set.overflowPending = true;
  EXPECT_EQ(Write("fine"), 0);
  EXPECT_EQ(files.WriteSizes(dataPath), (std::vector<std::size_t>{120000, 120000, 10000, 4}));
}

TEST_F(DataFilesTest, PendingFlagWithoutOverflowFileDoesNotBlockTheDataFile) {
  // A flag raised for an earlier site whose overflow path cannot even be opened here.
  overflowPath = dir.File("manca") + "/S1DATI_D.TXT";
  set.overflowPending = true;
  EXPECT_EQ(Write("A"), 0);
  EXPECT_EQ(Data(), "A");
  EXPECT_FALSE(set.overflowPending);
}

// Chunks that no file can take (data, overflow or rescue file) stay in
// memory, in order, and go out before anything newer.
class HeldChunksTest : public DataFilesTest {
 protected:
  void NeitherFileTakesAnything() {
    files.HoldLock(dataPath);
    files.RefuseOpen(overflowPath);
    files.RefuseOpen(RescuePath(overflowPath));
  }
};

TEST_F(HeldChunksTest, HeldChunksGoToTheDataFileBeforeTheNextChunk) {
  NeitherFileTakesAnything();
  EXPECT_EQ(Write("A"), msg::kOverflowUnavailable);
  EXPECT_EQ(Write("B"), msg::kOverflowUnavailable);
  EXPECT_EQ(Data(), "");
  EXPECT_EQ(set.heldBytes, 2u);

  files.Heal();
  EXPECT_EQ(Write("C"), 0);
  EXPECT_EQ(Data(), "ABC");
  EXPECT_EQ(set.heldBytes, 0u);
  EXPECT_TRUE(set.held.empty());
}

TEST_F(HeldChunksTest, HeldChunksFollowTheOverflowFileWhileTheDataFileIsBusy) {
  files.HoldLock(dataPath);
  EXPECT_EQ(Write("A"), msg::kDataFileUnavailable);
  files.RefuseOpen(overflowPath);
  EXPECT_EQ(Write("B"), msg::kOverflowUnavailable);
  files.AllowOpen(overflowPath);
  EXPECT_EQ(Write("C"), msg::kDataFileUnavailable);
  EXPECT_EQ(Overflow(), "ABC");

  files.ReleaseLock(dataPath);
  EXPECT_EQ(Write("D"), 0);
  EXPECT_EQ(Data(), "ABCD");
}

TEST_F(HeldChunksTest, HeldChunksPartlyParkedAreStillPouredBackFirst) {
  NeitherFileTakesAnything();
  Write("A");
  Write("B");

  // The data file opens but refuses, the overflow file takes A only.
  files.Heal();
  files.FailWrite(dataPath);
  files.FailWrite(overflowPath, 2);
  EXPECT_EQ(Write("C"), msg::kOverflowUnavailable);
  EXPECT_EQ(Overflow(), "A");

  files.Heal();
  EXPECT_EQ(Write("D"), 0);
  EXPECT_EQ(Data(), "ABCD");
  EXPECT_EQ(Overflow(), "");
}

TEST_F(HeldChunksTest, MergeTurnOffersHeldChunks) {
  NeitherFileTakesAnything();
  Write("A");
  Write("B");

  // Still nothing takes them: they stay.
  MergeOverflowFile(context, overflowPath, dataPath, set);
  EXPECT_EQ(set.heldBytes, 2u);

  // Only the overflow file is usable: they are parked there, flagged.
  files.AllowOpen(overflowPath);
  set.overflowPending = false;
  MergeOverflowFile(context, overflowPath, dataPath, set);
  EXPECT_EQ(Overflow(), "AB");
  EXPECT_TRUE(set.overflowPending);
  EXPECT_EQ(set.heldBytes, 0u);

  // Both usable: held chunks come after the overflow file's content.
  files.RefuseOpen(overflowPath);
  Write("C");
  files.Heal();
  MergeOverflowFile(context, overflowPath, dataPath, set);
  EXPECT_EQ(Data(), "ABC");
  EXPECT_EQ(Overflow(), "");
  EXPECT_TRUE(notifier.Values(Message::kDebug).empty());
}

TEST_F(HeldChunksTest, PastTheBoundChunksAreDroppedAndTheLossIsLogged) {
  NeitherFileTakesAnything();
  constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
  std::string kept;
  kept.reserve(kHeldLimitBytes + 16);
  for (unsigned i = 0; i < kHeldLimitBytes / kChunkBytes; ++i) {
    const std::string chunk = Pattern(kChunkBytes, i);
    kept += chunk;
    ASSERT_EQ(Write(chunk), msg::kOverflowUnavailable);
  }
  EXPECT_TRUE(notifier.Values(Message::kDebug).empty());
  EXPECT_EQ(set.heldBytes, kHeldLimitBytes);

  EXPECT_EQ(Write("perso"), msg::kOverflowUnavailable);
  const std::vector<Note> notes = notifier.Notes();
  std::vector<Note> debug;
  for (const Note& n : notes)
    if (n.message == Message::kDebug) debug.push_back(n);
  EXPECT_EQ(debug, (std::vector<Note>{{Message::kDebug, 0, "Persi 5 byte di dati.", false}}));
  EXPECT_EQ(set.lostBytes, 5u);

  files.Heal();
  EXPECT_EQ(Write("dopo"), 0);
  kept += "dopo";
  const std::string data = Data();
  EXPECT_EQ(data.size(), kept.size());
  EXPECT_TRUE(data == kept);
}

TEST_F(HeldChunksTest, HeldChunksStayWithTheirOwnSiteFiles) {
  NeitherFileTakesAnything();
  EXPECT_EQ(Write("sede A"), msg::kOverflowUnavailable);

  // The worker moves on to another site whose files work.
  const std::string otherData = dir.File("ALTRA.TXT");
  const std::string otherOverflow = dir.File("S2ALTRA_D.TXT");
  EXPECT_EQ(WriteRecords(context, otherData, otherOverflow, set, AsBytes("sede B")), 0);
  EXPECT_EQ(dir.Read("ALTRA.TXT"), "sede B");
  EXPECT_EQ(dir.Read("S2ALTRA_D.TXT"), "");

  // Once the first site's data file is free, the next write of any site
  // delivers its chunk there.
  files.Heal();
  EXPECT_EQ(WriteRecords(context, otherData, otherOverflow, set, AsBytes("+")), 0);
  EXPECT_EQ(Data(), "sede A");
  EXPECT_EQ(dir.Read("ALTRA.TXT"), "sede B+");
}

class SiteSetsTest : public DataFilesTest {
 protected:
  SiteSettings site = test::ThreeSetSite(dir);
  StorageState state;
};

TEST_F(SiteSetsTest, PrepareReportsOnlyTheMainSetsResult) {
  dir.Write("S1ST_S.TXT", "storico\r\n");
  files.RefuseOpen(site.dati2Overflow);
  EXPECT_TRUE(PrepareSiteDataFiles(context, site, state));
  EXPECT_EQ(notifier.Notes(), (std::vector<Note>{Error(msg::kDataFilesCreate)}));
  EXPECT_TRUE(std::filesystem::exists(site.dati));
  EXPECT_TRUE(std::filesystem::exists(site.storico));
  EXPECT_FALSE(state.main.overflowPending);
  EXPECT_TRUE(state.history.overflowPending);

  files.RefuseOpen(site.datiOverflow);
  EXPECT_FALSE(PrepareSiteDataFiles(context, site, state));
}

TEST_F(SiteSetsTest, StoreChunkWritesTheThreeSetsAndParksOnlyTheBusyOne) {
  files.HoldLock(site.dati2);
  StoreChunk(context, site, state, AsBytes("riga\r\n"));
  EXPECT_EQ(dir.Read("D1.TXT"), "riga\r\n");
  EXPECT_EQ(dir.Read("S1D2_B.TXT"), "riga\r\n");
  EXPECT_EQ(dir.Read("D2.TXT"), "");
  EXPECT_EQ(dir.Read("ST.TXT"), "riga\r\n");
  EXPECT_FALSE(state.main.overflowPending);
  EXPECT_TRUE(state.second.overflowPending);
  EXPECT_FALSE(state.history.overflowPending);
}

}  // namespace
}  // namespace vr
