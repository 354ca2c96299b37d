#include "storage/data_files.h"

#include <memory>

#include "log/strings.h"
#include "storage/disk_space.h"
#include "storage/transfer.h"

namespace vr {

using namespace storage_internal;

namespace {

// Pours the overflow file back into the open data file. True when the
// overflow file is empty afterwards, so whatever follows may go into the data
// file without overtaking older records.
bool PourBack(const StorageContext& context, File& data, const std::string& overflowPath,
              DataFileSet& set) {
  std::unique_ptr<File> overflow;
  if (context.files.Open(overflowPath, OpenMode::kReadWrite, overflow) != FileStatus::kOk) {
    PostError(context, msg::kOverflowOpen);
    // A flag left over from another site or an overflow file that is gone:
    // nothing waits there, so the order is safe.
    std::uint64_t sizeBytes = 0;
    if (!context.files.LookUp(overflowPath, sizeBytes) || sizeBytes == 0) {
      set.overflowPending = false;
      return true;
    }
    return false;
  }
  switch (MoveContent(*overflow, data)) {
    case MoveResult::kDone:
      set.overflowPending = false;
      return true;
    case MoveResult::kNoMemory:
      PostError(context, msg::kPourBackMemory);
      return false;
    case MoveResult::kFailed:
      break;
  }
  PostError(context, msg::kPourBackFailed);
  return false;
}

// The held chunks of the pair, then chunk, each with one append.
bool AppendHeldAndChunk(File& file, DataFileSet& set, const std::string& dataPath,
                        const std::string& overflowPath, std::span<const std::uint8_t> chunk) {
  return AppendHeld(file, set, dataPath, overflowPath) && AppendAtEnd(file, chunk);
}

enum class Boxes { kShow, kNone };

// Parks chunk (after the chunks held for the pair) in the opened overflow
// file, or, when overflow is null or refuses it, holds it. Returns the result
// of WriteRecords for a chunk that missed the data file.
int Park(const StorageContext& context, File* overflow, const std::string& dataPath,
         const std::string& overflowPath, DataFileSet& set, std::span<const std::uint8_t> chunk,
         Boxes boxes) {
  int failure = msg::kOverflowOpen;
  if (overflow != nullptr) {
    const std::size_t heldBefore = set.heldBytes;
    const bool stored = AppendHeldAndChunk(*overflow, set, dataPath, overflowPath, chunk);
    if (stored || set.heldBytes != heldBefore) set.overflowPending = true;
    if (stored) return msg::kDataFileUnavailable;
    failure = msg::kOverflowWrite;
  }
  PostError(context, failure);
  if (boxes == Boxes::kShow) PostWarningOnce(context, failure);
  HoldChunk(context, set, dataPath, overflowPath, chunk);
  return msg::kOverflowUnavailable;
}

}  // namespace

int WriteRecords(const StorageContext& context, const std::string& dataPath,
                 const std::string& overflowPath, DataFileSet& set,
                 std::span<const std::uint8_t> chunk) {
  OfferHeldElsewhere(context, set, dataPath, overflowPath);

  std::unique_ptr<File> data;
  if (context.files.Open(dataPath, OpenMode::kWrite, data) != FileStatus::kOk) {
    // Busy: the importer holds the data file, or its path is unusable.
    PrepareDataFiles(context, dataPath, overflowPath, set);
    PostError(context, msg::kDataFileUnavailable);
    std::unique_ptr<File> overflow;
    if (context.files.Open(overflowPath, OpenMode::kWrite, overflow) != FileStatus::kOk) {
      PrepareDataFiles(context, dataPath, overflowPath, set);
      context.files.Open(overflowPath, OpenMode::kWrite, overflow);
    }
    return Park(context, overflow.get(), dataPath, overflowPath, set, chunk, Boxes::kShow);
  }

  const bool inOrder = !set.overflowPending || PourBack(context, *data, overflowPath, set);
  if (inOrder) {
    if (AppendHeldAndChunk(*data, set, dataPath, overflowPath, chunk)) return 0;
    PostError(context, msg::kDataFileWrite);
  }
  // The data file cannot take the chunk in order: it goes behind the overflow
  // file's content.
  data.reset();
  std::unique_ptr<File> overflow;
  context.files.Open(overflowPath, OpenMode::kWrite, overflow);
  return Park(context, overflow.get(), dataPath, overflowPath, set, chunk, Boxes::kNone);
}

bool PrepareDataFiles(const StorageContext& context, const std::string& dataPath,
                      const std::string& overflowPath, DataFileSet& set) {
  {
    // Only creates a missing data file; a failure shows at the first write.
    std::unique_ptr<File> data;
    context.files.Open(dataPath, OpenMode::kCreate, data);
  }
  std::unique_ptr<File> overflow;
  if (context.files.Open(overflowPath, OpenMode::kCreate, overflow) != FileStatus::kOk) {
    PostError(context, msg::kDataFilesCreate);
    return false;
  }
  std::uint64_t sizeBytes = 0;
  if (overflow->Size(sizeBytes) == FileStatus::kOk && sizeBytes > 0) set.overflowPending = true;
  return true;
}

bool PrepareSiteDataFiles(const StorageContext& context, const SiteSettings& site,
                          StorageState& state) {
  const bool mainReady = PrepareDataFiles(context, site.dati, site.datiOverflow, state.main);
  PrepareDataFiles(context, site.dati2, site.dati2Overflow, state.second);
  PrepareDataFiles(context, site.storico, site.storicoOverflow, state.history);
  return mainReady;
}

void TrackDataFileBusyTime(const StorageContext& context, StorageState& state, int mainResult,
                           std::uint32_t fileTimeoutMs) {
  if (mainResult == 0 || fileTimeoutMs == 0 ||
      context.flags.WarningPending(msg::kDataFileNotAccessible)) {
    state.busySinceMs.reset();
    return;
  }
  const std::uint64_t nowMs = context.clock.TickMs();
  if (!state.busySinceMs) state.busySinceMs = nowMs;
  if (nowMs - *state.busySinceMs > fileTimeoutMs) {
    state.busySinceMs.reset();
    PostWarningOnce(context, msg::kDataFileNotAccessible);
  }
}

void StoreChunk(const StorageContext& context, const SiteSettings& site, StorageState& state,
                std::span<const std::uint8_t> chunk) {
  const int mainResult = WriteRecords(context, site.dati, site.datiOverflow, state.main, chunk);
  TrackDataFileBusyTime(context, state, mainResult, site.fileTimeoutMs);
  GuardDiskSpace(context, site.datiOverflow, site.spazioTimeoutMb);
  WriteRecords(context, site.dati2, site.dati2Overflow, state.second, chunk);
  WriteRecords(context, site.storico, site.storicoOverflow, state.history, chunk);
}

}  // namespace vr
