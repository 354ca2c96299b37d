#include "storage/disk_space.h"

#include "log/strings.h"
#include "storage/transfer.h"

namespace vr {

namespace {
constexpr std::uint64_t kBytesPerMb = 1048576;
}  // namespace

std::string DiskRootOf(std::string_view path, PathStyle style) {
  if (style == PathStyle::kWindows) return std::string(path.substr(0, 3));
  const auto cut = path.find_last_of('/');
  if (cut == std::string_view::npos) return ".";
  if (cut == 0) return "/";
  return std::string(path.substr(0, cut));
}

bool DiskSpaceAbove(FileSystem& files, const std::string& root, std::uint32_t thresholdMb) {
  std::uint64_t freeBytes = 0;
  // A volume that cannot be asked counts as having room.
  if (files.FreeSpace(root, freeBytes) != FileStatus::kOk) return true;
  return freeBytes / kBytesPerMb > thresholdMb;
}

void GuardDiskSpace(const StorageContext& context, const std::string& overflowPath,
                    std::uint32_t thresholdMb) {
  const std::string root = DiskRootOf(overflowPath, NativePathStyle());
  if (!DiskSpaceAbove(context.files, root, thresholdMb))
    storage_internal::PostWarningOnce(context, msg::kDiskSpace);
}

}  // namespace vr
