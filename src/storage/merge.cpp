#include "storage/merge.h"

#include "storage/transfer.h"

namespace vr {

void MergeOverflowFile(const StorageContext& context, const std::string& sourcePath,
                       const std::string& destinationPath, DataFileSet& set) {
  storage_internal::OfferHeldElsewhere(context, set, destinationPath, sourcePath);
  storage_internal::MoveBack(context, destinationPath, sourcePath, set);
}

}  // namespace vr
