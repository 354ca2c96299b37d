#pragma once
// The free-space guard: after every stored chunk the recorder checks the
// volume of the program's directory, where the overflow files live, and warns
// (it never stops writing) when the space is down to the site's threshold.

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/data_file_set.h"
#include "storage/file_system.h"

namespace vr {

// What the free space is asked about for a file: on Windows the drive root,
// the first three characters ("C:\"); on POSIX the file's directory.
std::string DiskRootOf(std::string_view path, PathStyle style);

// True when the free space of root, in whole megabytes (rounded down), is
// above thresholdMb, or when it cannot be found out.
bool DiskSpaceAbove(FileSystem& files, const std::string& root, std::uint32_t thresholdMb);

// Posts warning 7004 when the volume of overflowPath is not above
// thresholdMb and no 7004 box is pending.
void GuardDiskSpace(const StorageContext& context, const std::string& overflowPath,
                    std::uint32_t thresholdMb);

}  // namespace vr
