// The native file system through the seam: the busy rule between two writers
// and the error sorting, on whichever platform runs the test.

#include "storage/file_system.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/storage_test_env.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using test::AsBytes;

class FileSystemTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  NativeFileSystem files;
  std::string path = dir.File("DATI.TXT");
};

TEST_F(FileSystemTest, WriterHoldsTheFileAgainstOtherWritersButNotAgainstCreation) {
  std::unique_ptr<File> holder;
  ASSERT_EQ(files.Open(path, OpenMode::kWrite, holder), FileStatus::kOk);

  for (OpenMode mode : {OpenMode::kWrite, OpenMode::kReadWrite}) {
    std::unique_ptr<File> second;
    EXPECT_EQ(files.Open(path, mode, second), FileStatus::kBusy);
    EXPECT_EQ(second, nullptr);
  }
  std::unique_ptr<File> create;
  EXPECT_EQ(files.Open(path, OpenMode::kCreate, create), FileStatus::kOk);

  holder.reset();
  std::unique_ptr<File> again;
  EXPECT_EQ(files.Open(path, OpenMode::kReadWrite, again), FileStatus::kOk);
}

TEST_F(FileSystemTest, OpenInMissingDirectoryIsAnIoErrorNotBusy) {
  for (OpenMode mode : {OpenMode::kCreate, OpenMode::kWrite, OpenMode::kReadWrite}) {
    std::unique_ptr<File> file;
    EXPECT_EQ(files.Open(dir.File("manca") + "/DATI.TXT", mode, file), FileStatus::kIoError);
  }
}

TEST_F(FileSystemTest, WriteSeekReadTruncateAndSize) {
  std::unique_ptr<File> file;
  ASSERT_EQ(files.Open(path, OpenMode::kReadWrite, file), FileStatus::kOk);
  std::size_t written = 0;
  ASSERT_EQ(file->Write(AsBytes("0123456789"), written), FileStatus::kOk);
  EXPECT_EQ(written, 10u);

  ASSERT_EQ(file->Truncate(4), FileStatus::kOk);
  std::uint64_t size = 0;
  ASSERT_EQ(file->Size(size), FileStatus::kOk);
  EXPECT_EQ(size, 4u);

  // Truncate leaves the position alone; a write at the end fills no gap.
  ASSERT_EQ(file->Seek(size), FileStatus::kOk);
  ASSERT_EQ(file->Write(AsBytes("xy"), written), FileStatus::kOk);
  ASSERT_EQ(file->Seek(2), FileStatus::kOk);
  std::vector<std::uint8_t> buffer(16);
  std::size_t got = 0;
  ASSERT_EQ(file->Read(buffer, got), FileStatus::kOk);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got)), "23xy");
  ASSERT_EQ(file->Read(buffer, got), FileStatus::kOk);
  EXPECT_EQ(got, 0u);
  file.reset();
  EXPECT_EQ(dir.Read("DATI.TXT"), "0123xy");
}

TEST_F(FileSystemTest, SyncThenRemove) {
  std::unique_ptr<File> file;
  ASSERT_EQ(files.Open(path, OpenMode::kWrite, file), FileStatus::kOk);
  std::size_t written = 0;
  ASSERT_EQ(file->Write(AsBytes("abc"), written), FileStatus::kOk);
  EXPECT_EQ(file->Sync(), FileStatus::kOk);
  file.reset();

  EXPECT_EQ(files.Remove(path), FileStatus::kOk);
  std::uint64_t size = 0;
  EXPECT_FALSE(files.LookUp(path, size));
  EXPECT_EQ(files.Remove(path), FileStatus::kOk);        // already gone counts as removed
  EXPECT_NE(files.Remove(dir.Path()), FileStatus::kOk);  // a directory is not a file
}

TEST_F(FileSystemTest, LookUpFindsRegularFilesOnly) {
  std::uint64_t size = 99;
  EXPECT_FALSE(files.LookUp(path, size));
  dir.Write("DATI.TXT", "abc");
  ASSERT_TRUE(files.LookUp(path, size));
  EXPECT_EQ(size, 3u);
  EXPECT_FALSE(files.LookUp(dir.Path(), size));
}

}  // namespace
}  // namespace vr
