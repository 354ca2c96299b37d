#pragma once
// The worker's own pour-back: once per turn of its reception loop it empties
// the main overflow file into the main data file, so parked records go back
// as soon as the importer lets go of the file, even when nothing new arrives.

#include <string>

#include "storage/data_file_set.h"

namespace vr {

// Moves the content of sourcePath (an overflow file) to the end of
// destinationPath (its data file), then what waits behind it (the rescue
// file, the chunks held in memory); held chunks of other pairs of the set are
// offered to their own files first. Silent (only the late pour-back of an
// overflow file given up on is logged): every failure leaves things as they
// were and the next turn tries again; a crash at any point is settled by the
// next PrepareDataFiles. A missing or empty source with nothing waiting
// opens nothing (the data file is not created). The set's pending flag is
// only raised (when waiting chunks go into the overflow file), never cleared
// here.
void MergeOverflowFile(const StorageContext& context, const std::string& sourcePath,
                       const std::string& destinationPath, DataFileSet& set);

}  // namespace vr
