// The Windows file system twin takes the program's UTF-8 paths: a file in a
// folder whose name lies outside the ANSI code page is created, written,
// found, held against another writer and deleted under its real name.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "storage/file_system.h"
#include "support/non_ascii_dir_win32.h"
#include "support/storage_test_env.h"

namespace vr {
namespace {

using test::AsBytes;

TEST(NonAsciiFolder, FilesRoundTripThroughTheSeamUnderTheirRealNames) {
  test::NonAsciiDir dir;
  NativeFileSystem files;
  const std::string path = dir.Utf8File("dati\xC3\xA8.txt");  // "datiè.txt"

  std::unique_ptr<File> file;
  ASSERT_EQ(files.Open(path, OpenMode::kWrite, file), FileStatus::kOk) << path;
  std::size_t written = 0;
  ASSERT_EQ(file->Write(AsBytes("0001 record\r\n"), written), FileStatus::kOk);
  // Held by its real name: a second writer is kept out.
  std::unique_ptr<File> second;
  EXPECT_EQ(files.Open(path, OpenMode::kReadWrite, second), FileStatus::kBusy);
  file.reset();

  EXPECT_EQ(dir.Read("dati\xC3\xA8.txt"), "0001 record\r\n");
  std::uint64_t sizeBytes = 0;
  ASSERT_TRUE(files.LookUp(path, sizeBytes));
  EXPECT_EQ(sizeBytes, 13u);

  ASSERT_EQ(files.Remove(path), FileStatus::kOk);
  EXPECT_FALSE(dir.Exists("dati\xC3\xA8.txt"));
  EXPECT_FALSE(files.LookUp(path, sizeBytes));
}

}  // namespace
}  // namespace vr
