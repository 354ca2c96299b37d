#pragma once
// The moves shared by the writes of data_files.cpp, the waiting chunks of
// waiting_chunks.cpp and the merge of merge.cpp: appending at the end, moving
// one file's content to the end of another so that a crash at any point
// leaves every byte in exactly one of them, and settling a move that a crash
// or a failure interrupted. Internal to the storage module.
//
// The bytes of a set keep one order: data file, overflow file, rescue file,
// chunks held in memory. A move or append that fails part way is undone (the
// file that was growing is cut back), so a retry never writes a byte twice.

#include <cstdint>
#include <memory>
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
void PostDebug(const StorageContext& context, std::string text);

// Appends bytes at the current end of file with one write, then, with sync,
// flushes it to the disk. A write or flush that fails is cut back to the old
// end. kOk when it all went; otherwise the failure (kNoSpace: disk full).
FileStatus AppendAtEnd(File& file, std::span<const std::uint8_t> bytes, bool sync);

enum class MoveResult { kDone, kNoMemory, kFailed };

// Appends all of `from` (at fromPath) at the end of `to` (at toPath), then
// cuts `from` to 0 bytes, under an intent file (move_intent.h) flushed
// before the copy, so that SettleMove can finish or undo it after a crash.
// On failure `to` goes back to its old length and `from` keeps all it held;
// when even that cannot be made sure of, the move is left in
// set.unfinishedMoves and both files wait for SettleMove.
MoveResult MoveFile(const StorageContext& context, DataFileSet& set, File& from,
                    const std::string& fromPath, File& to, const std::string& toPath);

// Finishes or undoes a move out of sourcePath whose intent file is on disk,
// and deletes the intent file. True when none is left (there was none, or it
// is settled now); false, with the move kept in set.unfinishedMoves, when a
// file it needs cannot be opened yet.
bool SettleMove(const StorageContext& context, DataFileSet& set, const std::string& sourcePath);

enum class PourOutcome {
  kEmptied,     // the overflow file's content is in the data file now (or it had none)
  kGone,        // it could not be opened and holds nothing: missing, or another site's flag
  kUnopenable,  // it could not be opened and holds data
  kNoMemory,
  kFailed,
};

// Pours the overflow file of paths back into the open data file, silently.
// An overflow file given up on (DataFileSet::strandedOverflowPath) that
// can be opened again is poured back too, and that is logged.
PourOutcome PourOverflow(const StorageContext& context, DataFileSet& set, const SetPaths& paths,
                         File& data);

// Opens a file of a set, after settling any unfinished move that involves it;
// kBusy while one cannot be settled. Opening for kReadWrite (to move the
// file's content out) also looks for an intent file beside it that no
// PrepareDataFiles has seen.
FileStatus OpenSetFile(const StorageContext& context, DataFileSet& set, const std::string& path,
                       OpenMode mode, std::unique_ptr<File>& file);

}  // namespace vr::storage_internal
