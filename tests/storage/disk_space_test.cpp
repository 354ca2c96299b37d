#include "storage/disk_space.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "log/strings.h"
#include "support/storage_test_env.h"

namespace vr {
namespace {

constexpr std::uint64_t kMb = 1048576;

class DiskSpaceTest : public ::testing::Test, protected test::StorageTestEnv {};

TEST_F(DiskSpaceTest, WarnsAtAndBelowTheThresholdOnly) {
  const struct {
    std::optional<std::uint64_t> freeBytes;
    std::uint32_t thresholdMb;
    bool above;
  } kCases[] = {
      {50 * kMb, 50, false},            // equal warns: the test is strictly greater
      {50 * kMb + kMb - 1, 50, false},  // whole megabytes, rounded down
      {49 * kMb, 50, false},
      {51 * kMb, 50, true},
      {1 * kMb, 0, true},  // threshold 0 is quiet while 1 MB is free
      {kMb - 1, 0, false},
      {0, 0, false},
      {std::uint64_t{5000000} * kMb, 4000000, true},  // beyond 32 bits of bytes
      {std::uint64_t{0xFFFFFFFF} * kMb, 0xFFFFFFFF, false},
      {std::nullopt, 50, true},  // free space unknown: counts as enough
  };
  for (const auto& c : kCases) {
    files.SetFreeBytes(c.freeBytes);
    EXPECT_EQ(DiskSpaceAbove(files, "C:\\", c.thresholdMb), c.above)
        << (c.freeBytes ? std::to_string(*c.freeBytes) : "unknown") << " bytes, " << c.thresholdMb
        << " MB";
  }
}

TEST_F(DiskSpaceTest, GuardPostsOneBoxWhilePendingAndAgainAfterItCloses) {
  const std::string overflowPath = dir.File("S1DATI_D.TXT");
  files.SetFreeBytes(10 * kMb);
  GuardDiskSpace(context, overflowPath, 50);
  GuardDiskSpace(context, overflowPath, 50);
  EXPECT_EQ(notifier.Notes(),
            (std::vector<test::RecordingNotifier::Note>{Warning(msg::kDiskSpace)}));
  EXPECT_TRUE(flags.WarningPending(msg::kDiskSpace));

  flags.WarningPending(msg::kDiskSpace) = false;
  GuardDiskSpace(context, overflowPath, 50);
  EXPECT_EQ(notifier.Values(Message::kWarning).size(), 2u);

  flags.WarningPending(msg::kDiskSpace) = false;
  files.SetFreeBytes(51 * kMb);
  GuardDiskSpace(context, overflowPath, 50);
  EXPECT_EQ(notifier.Values(Message::kWarning).size(), 2u);
}

TEST(DiskRootOf, DriveRootOnWindowsDirectoryOnPosix) {
  const struct {
    const char* path;
    PathStyle style;
    const char* root;
  } kCases[] = {
      {"C:\\VESPER\\S1DATI_D.TXT", PathStyle::kWindows, "C:\\"},
      {"D:\\X_D.TXT", PathStyle::kWindows, "D:\\"},
      {"/opt/vesper/S1DATI_D.TXT", PathStyle::kPosix, "/opt/vesper"},
      {"/S1DATI_D.TXT", PathStyle::kPosix, "/"},
      {"S1DATI_D.TXT", PathStyle::kPosix, "."},
  };
  for (const auto& c : kCases) EXPECT_EQ(DiskRootOf(c.path, c.style), c.root) << c.path;
}

// The real system call, on the volume that holds the test's files.
TEST_F(DiskSpaceTest, NativeFreeSpaceOfTheProgramVolume) {
  const std::string root = DiskRootOf(dir.File("S1DATI_D.TXT"), NativePathStyle());
  std::uint64_t freeBytes = 0;
  ASSERT_EQ(native.FreeSpace(root, freeBytes), FileStatus::kOk) << root;
  EXPECT_GT(freeBytes, 0u);
  EXPECT_FALSE(DiskSpaceAbove(native, root, 0xFFFFFFFF));
  EXPECT_TRUE(DiskSpaceAbove(native, root, 0));

  // A volume that cannot be asked about counts as having room.
  const std::string missing = dir.File("manca");
  EXPECT_NE(native.FreeSpace(missing, freeBytes), FileStatus::kOk);
  EXPECT_TRUE(DiskSpaceAbove(native, missing, 0xFFFFFFFF));
}

}  // namespace
}  // namespace vr
