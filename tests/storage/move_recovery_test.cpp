// What a restart finds after an interrupted pour-back, and what it makes of
// it: the intent file's records, each state a crash (or the importer, taking
// the data file meanwhile) can leave, and a move whose undo failed.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log/strings.h"
#include "storage/data_files.h"
#include "storage/move_intent.h"
#include "support/storage_test_env.h"

namespace vr {
namespace {

using storage_internal::DecodeIntent;
using storage_internal::EncodeCopiedRecord;
using storage_internal::EncodeStartRecord;
using storage_internal::IntentPath;
using storage_internal::MoveIntent;
using storage_internal::MovePhase;
using test::AsBytes;
using test::Pattern;

std::string Text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(MoveIntentRecord, ReadsBackWhatWasWrittenAndNothingTorn) {
  const MoveIntent intent{123456789012ull, 250000, "D:\\IMPORT\\CHIAMATE.TXT"};
  const std::string start = Text(EncodeStartRecord(intent));
  const std::string copied = Text(EncodeCopiedRecord(EncodeStartRecord(intent)));

  const auto whole = DecodeIntent(Bytes(start + copied));
  EXPECT_EQ(whole.phase, MovePhase::kCopied);
  EXPECT_EQ(whole.intent, intent);
  EXPECT_EQ(DecodeIntent(Bytes(start)).phase, MovePhase::kCopying);
  EXPECT_EQ(DecodeIntent(Bytes(start)).intent, intent);

  // A crash can leave any first part of what was being written.
  for (std::size_t n = 0; n < start.size(); ++n)
    EXPECT_EQ(DecodeIntent(Bytes(start.substr(0, n))).phase, MovePhase::kNone) << n;
  for (std::size_t n = 0; n < copied.size(); ++n)
    EXPECT_EQ(DecodeIntent(Bytes(start + copied.substr(0, n))).phase, MovePhase::kCopying) << n;
  // Any changed byte of the start record voids it.
  for (std::size_t at = 0; at < start.size(); ++at) {
    std::string bad = start + copied;
    bad[at] = static_cast<char>(bad[at] ^ 0x10);
    EXPECT_EQ(DecodeIntent(Bytes(bad)).phase, MovePhase::kNone) << at;
  }
  // A copied record belongs to its own start record only.
  const MoveIntent other{1, 250000, intent.destinationPath};
  const std::string otherCopied = Text(EncodeCopiedRecord(EncodeStartRecord(other)));
  EXPECT_EQ(DecodeIntent(Bytes(start + otherCopied)).phase, MovePhase::kCopying);
}

class MoveRecoveryTest : public ::testing::Test, protected test::StorageTestEnv {
 protected:
  std::string dataPath = dir.File("DATI.TXT");
  std::string overflowPath = dir.File("S1DATI_D.TXT");
  std::string intentPath = IntentPath(overflowPath);
};

// The states a crash during the pour-back of `parked` behind `old` can leave,
// with the importer perhaps taking the data file before the restart.
TEST_F(MoveRecoveryTest, RestartSettlesEveryStateAnInterruptedPourBackLeaves) {
  const std::string old = "S1   20240105 101500 gia nel file dati\r\n";
  const std::string parked = Pattern(250000, 9);
  const std::string next = "S1   20240105 101700 dopo\r\n";
  const std::string other = "S2   20240105 101600 altra sede sullo stesso file\r\n";
  const std::string start = Text(EncodeStartRecord({old.size(), parked.size(), dataPath}));
  const std::string copied = Text(EncodeCopiedRecord(Bytes(start)));
  const struct {
    const char* name;
    std::string data, overflow, intent;
    std::string expected;  // the data file after the restart and one chunk
    bool reported;         // the restart logs that some records may come twice
  } kCases[] = {
      {"crash before the copy began", old, parked, start, old + parked + next, false},
      {"crash during the copy", old + parked.substr(0, 130001), parked, start, old + parked + next,
       false},
      {"copy complete, copied record not written", old + parked, parked, start, old + parked + next,
       false},
      {"copied record torn", old + parked, parked, start + copied.substr(0, 5), old + parked + next,
       false},
      {"copied, overflow file not cut", old + parked, parked, start + copied, old + parked + next,
       false},
      {"cut, intent file not deleted", old + parked, "", start + copied, old + parked + next,
       false},
      {"start record torn", old, parked, start.substr(0, start.size() - 1), old + parked + next,
       false},
      {"importer took the data file after the copy", "", parked, start + copied, next, false},
      {"importer took the data file after the cut", "", "", start + copied, next, false},
      // How much of the copy the importer got is unknown: all of it comes
      // back, so nothing is lost.
      {"importer took the data file during the copy", "", parked, start, parked + next, true},
      // Another site sharing the data file wrote to it before this one
      // started again: its records stay, whatever the length says.
      {"another site appended after the whole copy", old + parked + other, parked, start,
       old + parked + other + next, false},
      {"another site appended after a part of the copy", old + parked.substr(0, 1000) + other,
       parked, start, old + parked.substr(0, 1000) + other + parked + next, true},
      {"importer took the data file, then another site wrote more than before", other + other,
       parked, start, other + other + parked + next, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    notifier.Clear();
    dir.Write("DATI.TXT", c.data);
    dir.Write("S1DATI_D.TXT", c.overflow);
    dir.Write("S1DATI_D.TXT.TRAVASO", c.intent);
    DataFileSet set;
    ASSERT_TRUE(PrepareDataFiles(context, dataPath, overflowPath, set));
    EXPECT_FALSE(std::filesystem::exists(intentPath));
    EXPECT_TRUE(set.unfinishedMoves.empty());
    EXPECT_EQ(WriteRecords(context, dataPath, overflowPath, set, AsBytes(next)), 0);
    const std::string data = dir.Read("DATI.TXT");
    EXPECT_EQ(data.size(), c.expected.size());
    EXPECT_TRUE(data == c.expected);
    EXPECT_EQ(dir.Read("S1DATI_D.TXT"), "");
    EXPECT_EQ(notifier.Values(Message::kDebug).size(), c.reported ? 1u : 0u);
    EXPECT_TRUE(notifier.Values(Message::kError).empty());
  }
}

TEST_F(MoveRecoveryTest, WhileTheImporterHoldsTheDataFileTheSettlingWaitsAndNothingIsWritten) {
  const std::string old = "prima\r\n";
  const std::string parked = Pattern(200000, 2);
  dir.Write("DATI.TXT", old + parked.substr(0, 1000));  // killed during the copy
  dir.Write("S1DATI_D.TXT", parked);
  dir.Write("S1DATI_D.TXT.TRAVASO", Text(EncodeStartRecord({old.size(), parked.size(), dataPath})));
  files.HoldLock(dataPath);
  DataFileSet set;
  ASSERT_TRUE(PrepareDataFiles(context, dataPath, overflowPath, set));
  EXPECT_EQ(set.unfinishedMoves.size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(intentPath));

  // Neither file of the move takes a chunk meanwhile: it waits in the rescue file.
  EXPECT_EQ(WriteRecords(context, dataPath, overflowPath, set, AsBytes("A")),
            msg::kOverflowUnavailable);
  EXPECT_TRUE(dir.Read("S1DATI_D.TXT") == parked);
  EXPECT_EQ(dir.Read("S1DATI_D_R.TXT"), "A");

  files.ReleaseLock(dataPath);
  EXPECT_EQ(WriteRecords(context, dataPath, overflowPath, set, AsBytes("B")), 0);
  EXPECT_TRUE(dir.Read("DATI.TXT") == old + parked + "AB");
  EXPECT_FALSE(std::filesystem::exists(intentPath));
  EXPECT_TRUE(set.unfinishedMoves.empty());
}

// A pour-back fails and even its undo fails: the move is left to be settled,
// and no chunk goes into its files until it is.
TEST_F(MoveRecoveryTest, AMoveWhoseUndoFailsIsSettledBeforeItsFilesAreWrittenAgain) {
  const std::string old = "prima\r\n";
  const std::string parked = Pattern(250000, 4);
  dir.Write("DATI.TXT", old);
  dir.Write("S1DATI_D.TXT", parked);
  DataFileSet set;
  set.overflowPending = true;
  files.FailSync(dataPath);      // the copy cannot be flushed...
  files.FailTruncate(dataPath);  // ...nor cut back
  EXPECT_EQ(WriteRecords(context, dataPath, overflowPath, set, AsBytes("A")),
            msg::kDataFileUnavailable);
  EXPECT_EQ(notifier.Values(Message::kError), (std::vector<std::uint32_t>{msg::kPourBackFailed}));

  files.Heal();
  EXPECT_EQ(WriteRecords(context, dataPath, overflowPath, set, AsBytes("B")), 0);
  const std::string data = dir.Read("DATI.TXT");
  EXPECT_EQ(data.size(), old.size() + parked.size() + 2);
  EXPECT_TRUE(data == old + parked + "AB");
  EXPECT_EQ(dir.Read("S1DATI_D.TXT"), "");
  EXPECT_FALSE(std::filesystem::exists(intentPath));
}

}  // namespace
}  // namespace vr
