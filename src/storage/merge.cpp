#include "storage/merge.h"

#include "storage/waiting_chunks.h"

namespace vr {

void MergeOverflowFile(const StorageContext& context, const std::string& sourcePath,
                       const std::string& destinationPath, DataFileSet& set) {
  const SetPaths paths = storage_internal::PathsOf(destinationPath, sourcePath);
  storage_internal::OfferWaitingElsewhere(context, set, paths);
  storage_internal::MoveWaitingBack(context, set, paths);
}

}  // namespace vr
