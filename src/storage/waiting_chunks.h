#pragma once
// The chunks that wait behind a set's overflow file: those that neither the
// data file nor the overflow file took. They go to the set's rescue file in
// the program directory, and only when that cannot be written either are
// they held in memory (at most kHeldLimitBytes per set). Both are poured
// back like the overflow file, after it, so the records keep their order:
// data file, overflow file, rescue file, memory.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "storage/data_file_set.h"
#include "storage/file_system.h"

namespace vr {

// The rescue file of an overflow file: its name with "_R" before the
// extension (0001CHIAMATE_D.TXT gives 0001CHIAMATE_D_R.TXT), beside it, so
// each set of each site has its own. Created when first needed.
std::string RescuePath(const std::string& overflowPath);

// At the worker's end: the chunks still held in memory are written to their
// rescue files, to be poured back at the next connection. Returns the lines
// to log: what each rescue file took, and what no file took (lost with the
// process).
std::vector<std::string> RescueHeldChunks(const StorageContext& context, StorageState& state);

}  // namespace vr

namespace vr::storage_internal {

SetPaths PathsOf(const std::string& dataPath, const std::string& overflowPath);

// Chunks of the pair held in memory.
bool HoldsChunks(const DataFileSet& set, const SetPaths& paths);
// Anything behind the overflow file: the rescue file holds data, or memory does.
bool Waits(const StorageContext& context, const DataFileSet& set, const SetPaths& paths);

struct Poured {
  bool clear = true;   // nothing waits any longer
  bool moved = false;  // something reached target
};

// Silently moves what waits (the rescue file, then the chunks held in
// memory) to the end of target, the data file or the overflow file of the
// pair. What is moved is flushed to the disk.
Poured PourWaiting(const StorageContext& context, DataFileSet& set, const SetPaths& paths,
                   File& target, const std::string& targetPath);

// Stores chunk behind everything that waits: in the rescue file (the chunks
// held in memory go there first), else in memory, dropped past
// kHeldLimitBytes with the loss logged. True when the rescue file took it.
bool KeepWaiting(const StorageContext& context, DataFileSet& set, const SetPaths& paths,
                 std::span<const std::uint8_t> chunk, bool sync);

// Without any message: moves the pair's overflow file and what waits behind
// it into the data file; what the data file cannot take goes behind the
// overflow file's content, then into the rescue file. Nothing is opened or
// created when there is nothing to move.
void MoveWaitingBack(const StorageContext& context, DataFileSet& set, const SetPaths& paths);

// MoveWaitingBack for every pair, except the given one, that holds chunks in
// memory (a site served earlier).
void OfferWaitingElsewhere(const StorageContext& context, DataFileSet& set, const SetPaths& paths);

}  // namespace vr::storage_internal
