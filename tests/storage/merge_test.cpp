#include "storage/merge.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/storage_test_env.h"

namespace vr {
namespace {

using test::Pattern;

class MergeTest : public ::testing::Test, protected test::StorageTestEnv {
 protected:
  void Merge() { MergeOverflowFile(context, overflowPath, dataPath, set); }
  std::string Data() const { return dir.Read("DATI.TXT"); }
  std::string Overflow() const { return dir.Read("S1DATI_D.TXT"); }

  std::string dataPath = dir.File("DATI.TXT");
  std::string overflowPath = dir.File("S1DATI_D.TXT");
  DataFileSet set;
};

TEST_F(MergeTest, CopiesInBlocksOf120000BytesThenEmptiesTheOverflowFile) {
  const std::string parked = Pattern(250000);
  dir.Write("DATI.TXT", "prima\r\n");
  dir.Write("S1DATI_D.TXT", parked);
  Merge();
  EXPECT_EQ(files.WriteSizes(dataPath), (std::vector<std::size_t>{120000, 120000, 10000}));
  EXPECT_TRUE(Data() == "prima\r\n" + parked);
  EXPECT_EQ(std::filesystem::file_size(overflowPath), 0u);
  EXPECT_TRUE(notifier.Notes().empty());
}

TEST_F(MergeTest, NothingToMergeOpensNothingAndCreatesNoDataFile) {
  const struct {
    const char* name;
    bool overflowExists;
  } kCases[] = {{"missing overflow file", false}, {"empty overflow file", true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(overflowPath);
    if (c.overflowExists) dir.Write("S1DATI_D.TXT", "");
    Merge();
    EXPECT_FALSE(std::filesystem::exists(dataPath));
    EXPECT_EQ(files.OpenCount(dataPath), 0);
    EXPECT_EQ(files.OpenCount(overflowPath), 0);
  }
}

TEST_F(MergeTest, BusyDataFileLeavesBothFilesAlone) {
  dir.Write("DATI.TXT", "prima\r\n");
  dir.Write("S1DATI_D.TXT", "parcheggiati\r\n");
  files.HoldLock(dataPath);
  Merge();
  EXPECT_EQ(Data(), "prima\r\n");
  EXPECT_EQ(Overflow(), "parcheggiati\r\n");

  // The next turn, with the importer gone, moves them.
  files.ReleaseLock(dataPath);
  Merge();
  EXPECT_EQ(Data(), "prima\r\nparcheggiati\r\n");
  EXPECT_EQ(Overflow(), "");
}

TEST_F(MergeTest, MergeFailingPartWayCutsTheDataFileBack) {
  const struct {
    const char* name;
    void (*fail)(test::FaultyFileSystem&, const std::string& data, const std::string& overflow);
  } kCases[] = {
      {"second block cut short",
       [](auto& f, const std::string& d, const std::string&) {
         f.FailWrite(d, 2, 777, FileStatus::kNoSpace);
       }},
      {"third block refused",
       [](auto& f, const std::string& d, const std::string&) { f.FailWrite(d, 3); }},
      {"second read fails",
       [](auto& f, const std::string&, const std::string& o) { f.FailRead(o, 2); }},
      {"overflow file cannot be emptied",
       [](auto& f, const std::string&, const std::string& o) { f.FailTruncate(o, 1); }},
      {"overflow file held",
       [](auto& f, const std::string&, const std::string& o) { f.HoldLock(o); }},
  };
  const std::string old = "prima\r\n";
  const std::string parked = Pattern(250000, 7);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    files.Heal();
    dir.Write("DATI.TXT", old);
    dir.Write("S1DATI_D.TXT", parked);
    c.fail(files, dataPath, overflowPath);

    Merge();
    EXPECT_EQ(Data(), old);
    EXPECT_TRUE(Overflow() == parked);

    files.Heal();
    Merge();
    EXPECT_EQ(Data().size(), old.size() + parked.size());
    EXPECT_TRUE(Data() == old + parked);
    EXPECT_EQ(Overflow(), "");
  }
  EXPECT_TRUE(notifier.Notes().empty());
}

}  // namespace
}  // namespace vr
