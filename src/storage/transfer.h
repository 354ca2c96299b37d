#pragma once
// The moves shared by the writes of data_files.cpp and the merge of
// merge.cpp: appending at the end, pouring an overflow file back, and the
// chunks held in memory. Internal to the storage module.
//
// Every move leaves the bytes of a set in one order: data file, then overflow
// file, then held chunks. A move that fails part way is undone (the file that
// was growing is cut back), so a retry never writes a byte twice.

#include <cstdint>
#include <span>
#include <string>

#include "storage/data_file_set.h"
#include "storage/file_system.h"

namespace vr::storage_internal {

// Pour-back and merge copy through one block of this size per call...
inline constexpr std::size_t kCopyBlockBytes = 150010;
// ...reading at most this much at a time.
inline constexpr std::size_t kCopyReadBytes = 120000;

void PostError(const StorageContext& context, int id);
// Posts the warning box of id unless one is already pending; sets the flag.
void PostWarningOnce(const StorageContext& context, int id);

// Appends bytes at the current end of file with one write. A write that does
// not take the whole block is cut back to the old end. True when it all went.
bool AppendAtEnd(File& file, std::span<const std::uint8_t> bytes);

enum class MoveResult { kDone, kNoMemory, kFailed };

// Appends all of `from` at the end of `to`, then cuts `from` to 0 bytes. On
// any failure `to` goes back to its old length and `from` keeps all it held.
MoveResult MoveContent(File& from, File& to);

bool HoldsChunks(const DataFileSet& set, const std::string& dataPath,
                 const std::string& overflowPath);

// Appends the chunks held for the paths to file, oldest first, dropping each
// one that went. True when none is left.
bool AppendHeld(File& file, DataFileSet& set, const std::string& dataPath,
                const std::string& overflowPath);

// Keeps chunk for a later try, behind the ones already held; past
// kHeldLimitBytes the chunk is dropped and the loss logged.
void HoldChunk(const StorageContext& context, DataFileSet& set, const std::string& dataPath,
               const std::string& overflowPath, std::span<const std::uint8_t> chunk);

// Without any message: pours the overflow file back into the data file and
// appends the chunks held for the pair after it; held chunks that the data
// file cannot take go to the overflow file. Nothing is opened or created
// when there is nothing to move.
void MoveBack(const StorageContext& context, const std::string& dataPath,
              const std::string& overflowPath, DataFileSet& set);

// MoveBack for every pair of paths that holds chunks, except the given pair
// (a site served earlier).
void OfferHeldElsewhere(const StorageContext& context, DataFileSet& set,
                        const std::string& dataPath, const std::string& overflowPath);

}  // namespace vr::storage_internal
