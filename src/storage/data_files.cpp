#include "storage/data_files.h"

#include <memory>

#include "log/strings.h"
#include "storage/disk_space.h"
#include "storage/transfer.h"
#include "storage/waiting_chunks.h"

namespace vr {

using namespace storage_internal;

namespace {

// The error lines of one WriteRecords call: none while the set is in a run
// of chunks that only memory took, whose first chunk told its failures.
struct Report {
  const StorageContext& context;
  bool quiet;
  void operator()(int id) const {
    if (!quiet) PostError(context, id);
  }
};

// The overflow file holds data, cannot be opened, and the data file is free:
// true once it has been so for strandAfterMs, and the data file should wait
// no longer. Its content stays where it is, and the log says so, once.
bool GiveUpOnOverflow(const StorageContext& context, DataFileSet& set, const SetPaths& paths,
                      const WriteOptions& options) {
  if (!options.strandAfterMs) return false;
  const std::uint64_t nowMs = context.clock.TickMs();
  if (set.blockedOverflowPath != paths.overflow) {
    set.blockedOverflowPath = paths.overflow;
    set.blockedSinceMs = nowMs;
  }
  if (nowMs - set.blockedSinceMs < *options.strandAfterMs) return false;
  set.blockedOverflowPath.clear();
  set.strandedOverflowPath = paths.overflow;
  std::uint64_t sizeBytes = 0;
  context.files.LookUp(paths.overflow, sizeBytes);
  PostDebug(context, "File di trabocco " + paths.overflow + " inaccessibile: i suoi " +
                         std::to_string(sizeBytes) +
                         " byte vi restano e i dati nuovi vanno nel file dati.");
  return true;
}

// Brings the open data file up to date before a new chunk: the overflow
// file's content, then what waits behind it. True when nothing is left that
// the chunk would overtake.
bool CatchUp(const StorageContext& context, File& data, const SetPaths& paths, DataFileSet& set,
             const WriteOptions& options, const Report& report) {
  const bool stranded = set.strandedOverflowPath == paths.overflow;
  if (set.overflowPending || stranded) {
    const PourOutcome outcome = PourOverflow(context, set, paths, data);
    // FileTimeout counts while the file cannot even be opened.
    if (outcome != PourOutcome::kUnopenable) set.blockedOverflowPath.clear();
    switch (outcome) {
      case PourOutcome::kEmptied:
        set.overflowPending = false;
        break;
      case PourOutcome::kGone:
        // A flag left over from another site or an overflow file that is
        // gone: nothing waits there, so the order is safe.
        if (!stranded) report(msg::kOverflowOpen);
        set.overflowPending = false;
        set.strandedOverflowPath.clear();
        break;
      case PourOutcome::kUnopenable:
        if (stranded) break;
        report(msg::kOverflowOpen);
        if (!GiveUpOnOverflow(context, set, paths, options)) return false;
        break;
      case PourOutcome::kNoMemory:
        report(msg::kPourBackMemory);
        return false;
      case PourOutcome::kFailed:
        report(msg::kPourBackFailed);
        return false;
    }
  }
  if (!PourWaiting(context, set, paths, data, paths.data).clear) {
    report(msg::kDataFileWrite);
    return false;
  }
  return true;
}

enum class Boxes { kShow, kNone };

// Parks chunk behind what waits, in the opened overflow file, or, when
// overflow is null or refuses it, in the rescue file or memory. Returns the
// result of WriteRecords for a chunk that missed the data file.
int Park(const StorageContext& context, File* overflow, const SetPaths& paths, DataFileSet& set,
         std::span<const std::uint8_t> chunk, Boxes boxes, const WriteOptions& options,
         const Report& report) {
  int failure = msg::kOverflowOpen;
  if (overflow != nullptr) {
    const Poured poured = PourWaiting(context, set, paths, *overflow, paths.overflow);
    if (poured.moved) set.overflowPending = true;
    if (poured.clear && AppendAtEnd(*overflow, chunk, options.sync) == FileStatus::kOk) {
      set.overflowPending = true;
      set.memoryEpisode = false;
      return msg::kDataFileUnavailable;
    }
    failure = msg::kOverflowWrite;
  }
  report(failure);
  if (boxes == Boxes::kShow) PostWarningOnce(context, failure);
  set.memoryEpisode = !KeepWaiting(context, set, paths, chunk, options.sync);
  return msg::kOverflowUnavailable;
}

}  // namespace

int WriteRecords(const StorageContext& context, const std::string& dataPath,
                 const std::string& overflowPath, DataFileSet& set,
                 std::span<const std::uint8_t> chunk, const WriteOptions& options) {
  const SetPaths paths = PathsOf(dataPath, overflowPath);
  OfferWaitingElsewhere(context, set, paths);
  const Report report{context, set.memoryEpisode};

  std::unique_ptr<File> data;
  if (OpenSetFile(context, set, dataPath, OpenMode::kWrite, data) != FileStatus::kOk) {
    // Busy: the importer holds the data file, or its path is unusable.
    PrepareDataFiles(context, dataPath, overflowPath, set);
    PostError(context, msg::kDataFileUnavailable);
    std::unique_ptr<File> overflow;
    if (OpenSetFile(context, set, overflowPath, OpenMode::kWrite, overflow) != FileStatus::kOk) {
      PrepareDataFiles(context, dataPath, overflowPath, set);
      OpenSetFile(context, set, overflowPath, OpenMode::kWrite, overflow);
    }
    return Park(context, overflow.get(), paths, set, chunk, Boxes::kShow, options, report);
  }

  if (CatchUp(context, *data, paths, set, options, report)) {
    if (AppendAtEnd(*data, chunk, options.sync) == FileStatus::kOk) {
      set.memoryEpisode = false;
      return 0;
    }
    report(msg::kDataFileWrite);
  }
  // The data file cannot take the chunk in order: it goes behind the overflow
  // file's content.
  data.reset();
  std::unique_ptr<File> overflow;
  OpenSetFile(context, set, overflowPath, OpenMode::kWrite, overflow);
  return Park(context, overflow.get(), paths, set, chunk, Boxes::kNone, options, report);
}

bool PrepareDataFiles(const StorageContext& context, const std::string& dataPath,
                      const std::string& overflowPath, DataFileSet& set) {
  // A move that a crash interrupted is settled before anything else touches
  // its files.
  SettleMove(context, set, overflowPath);
  SettleMove(context, set, RescuePath(overflowPath));
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
  const WriteOptions options{site.sincronizza, site.fileTimeoutMs};
  const int mainResult =
      WriteRecords(context, site.dati, site.datiOverflow, state.main, chunk, options);
  TrackDataFileBusyTime(context, state, mainResult, site.fileTimeoutMs);
  GuardDiskSpace(context, site.datiOverflow, site.spazioTimeoutMb);
  WriteRecords(context, site.dati2, site.dati2Overflow, state.second, chunk, options);
  WriteRecords(context, site.storico, site.storicoOverflow, state.history, chunk, options);
}

}  // namespace vr
