#include "storage/transfer.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "storage/move_intent.h"

namespace vr::storage_internal {
namespace {

void Remember(DataFileSet& set, UnfinishedMove move) {
  for (UnfinishedMove& known : set.unfinishedMoves) {
    if (known.sourcePath != move.sourcePath) continue;
    // An intent that could not be read keeps what an earlier reading knew.
    if (!move.destinationPath.empty()) known.destinationPath = std::move(move.destinationPath);
    return;
  }
  set.unfinishedMoves.push_back(std::move(move));
}

void Forget(DataFileSet& set, const std::string& sourcePath) {
  std::erase_if(set.unfinishedMoves,
                [&](const UnfinishedMove& move) { return move.sourcePath == sourcePath; });
}

bool Involves(const UnfinishedMove& move, const std::string& path) {
  return move.sourcePath == path || move.destinationPath == path || move.destinationPath.empty();
}

// Reads from the current position until buffer is full or the file ends;
// false when a read fails. filledBytes tells how much came.
bool Fill(File& file, std::span<std::uint8_t> buffer, std::size_t& filledBytes) {
  filledBytes = 0;
  while (filledBytes < buffer.size()) {
    std::size_t readBytes = 0;
    if (file.Read(buffer.subspan(filledBytes), readBytes) != FileStatus::kOk) return false;
    if (readBytes == 0) break;
    filledBytes += readBytes;
  }
  return true;
}

bool ReadAll(File& file, std::vector<std::uint8_t>& bytes) {
  std::uint64_t sizeBytes = 0;
  if (file.Size(sizeBytes) != FileStatus::kOk || file.Seek(0) != FileStatus::kOk) return false;
  // Anything longer is no intent of ours; it decodes as none.
  bytes.assign(static_cast<std::size_t>(std::min<std::uint64_t>(sizeBytes, kMaxIntentBytes)), 0);
  std::size_t filledBytes = 0;
  if (!Fill(file, bytes, filledBytes)) return false;
  bytes.resize(filledBytes);
  return true;
}

// Empties the intent file and flushes that before deleting it: a deletion is
// not on the disk until the directory is, and an intent that came back after
// a power cut could cut chunks parked since. An empty intent file means no
// move, so a failed deletion is harmless.
bool ClearIntent(const StorageContext& context, std::unique_ptr<File>& intent,
                 const std::string& intentPath) {
  if (intent->Truncate(0) != FileStatus::kOk || intent->Sync() != FileStatus::kOk) return false;
  intent.reset();
  context.files.Remove(intentPath);
  return true;
}

bool CutSource(const StorageContext& context, const std::string& sourcePath) {
  std::unique_ptr<File> source;
  return context.files.Open(sourcePath, OpenMode::kReadWrite, source) == FileStatus::kOk &&
         source->Truncate(0) == FileStatus::kOk && source->Sync() == FileStatus::kOk;
}

enum class Comparison { kSame, kDifferent, kUnreadable };

// Fills buffer from the current position; false at the end of the file.
bool ReadFully(File& file, std::span<std::uint8_t> buffer, bool& failed) {
  std::size_t filledBytes = 0;
  if (!Fill(file, buffer, filledBytes)) {
    failed = true;
    return false;
  }
  return filledBytes == buffer.size();
}

// Whether lengthBytes of a from aAtBytes are those of b from the start.
Comparison Compare(File& a, std::uint64_t aAtBytes, File& b, std::uint64_t lengthBytes) {
  if (a.Seek(aAtBytes) != FileStatus::kOk || b.Seek(0) != FileStatus::kOk)
    return Comparison::kUnreadable;
  std::vector<std::uint8_t> aBlock(kCopyReadBytes);
  std::vector<std::uint8_t> bBlock(kCopyReadBytes);
  while (lengthBytes > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(lengthBytes, kCopyReadBytes));
    bool failed = false;
    const bool filled = ReadFully(a, std::span(aBlock).first(n), failed) &&
                        ReadFully(b, std::span(bBlock).first(n), failed);
    if (failed) return Comparison::kUnreadable;
    if (!filled || !std::equal(aBlock.begin(), aBlock.begin() + static_cast<std::ptrdiff_t>(n),
                               bBlock.begin()))
      return Comparison::kDifferent;
    lengthBytes -= n;
  }
  return Comparison::kSame;
}

// A move whose intent has a start record only: the crash came before the
// copy began, during it, or after it and before its "copied" record. What
// the destination holds past its old length tells which; its bytes are
// compared with the source's, not only counted, because another site may
// share the data file and have appended to it since.
bool SettleCopying(const StorageContext& context, const std::string& sourcePath,
                   const MoveIntent& intent) {
  const std::uint64_t beforeBytes = intent.destinationBytesBefore;
  const std::uint64_t afterBytes = beforeBytes + intent.sourceBytes;
  std::unique_ptr<File> destination;
  std::uint64_t destinationBytes = 0;
  if (context.files.Open(intent.destinationPath, OpenMode::kReadWrite, destination) !=
          FileStatus::kOk ||
      destination->Size(destinationBytes) != FileStatus::kOk)
    return false;
  if (destinationBytes == beforeBytes) return true;  // the copy had not begun
  if (destinationBytes > beforeBytes) {
    std::unique_ptr<File> source;
    if (context.files.Open(sourcePath, OpenMode::kReadWrite, source) != FileStatus::kOk)
      return false;
    const std::uint64_t comparedBytes = std::min(destinationBytes, afterBytes) - beforeBytes;
    switch (Compare(*destination, beforeBytes, *source, comparedBytes)) {
      case Comparison::kUnreadable:
        return false;
      case Comparison::kSame:
        // The whole copy is there: only the cut is left.
        if (destinationBytes >= afterBytes)
          return source->Truncate(0) == FileStatus::kOk && source->Sync() == FileStatus::kOk;
        // Part of it, and nothing after it: undone. The source still holds
        // all of it and is poured back whole later; completing the copy
        // would come to the same bytes.
        return destination->Truncate(beforeBytes) == FileStatus::kOk &&
               destination->Sync() == FileStatus::kOk;
      case Comparison::kDifferent:
        break;
    }
  }
  // Shorter than before the copy, or other bytes after it: the importer took
  // the data file between the crash and now (perhaps another site wrote to it
  // since), with as much of the copy as had reached it, which nothing
  // records. Neither file is cut: the source is poured back whole, so no
  // record is lost, and what the importer got of the copy comes a second
  // time. (A record of the copy's progress could lose records instead: after
  // a power cut it may be on the disk while the bytes it counts are not.)
  // When the data file was empty before the copy, an importer that took a
  // part of it cannot be told from a copy that never began, and the same
  // choice is made without a word.
  PostDebug(context, "Travaso interrotto: " + intent.destinationPath +
                         " non contiene più la copia (importato nel frattempo); i " +
                         std::to_string(intent.sourceBytes) + " byte di " + sourcePath +
                         " vi tornano tutti e una parte può comparire due volte.");
  return true;
}

// The intent file of one move in progress.
class Intent {
 public:
  Intent(const StorageContext& context, const std::string& sourcePath)
      : context_(context), path_(IntentPath(sourcePath)) {}

  // Writes the start record and flushes it; nothing is copied before that.
  bool Begin(const MoveIntent& intent) {
    std::uint64_t sizeBytes = 0;
    if (context_.files.Open(path_, OpenMode::kReadWrite, file_) != FileStatus::kOk) return false;
    start_ = EncodeStartRecord(intent);
    return file_->Size(sizeBytes) == FileStatus::kOk &&
           (sizeBytes == 0 || file_->Truncate(0) == FileStatus::kOk) && Write(start_, 0) &&
           file_->Sync() == FileStatus::kOk;
  }
  bool MarkCopied() {
    copiedWritten_ = true;
    return Write(EncodeCopiedRecord(start_), start_.size()) && file_->Sync() == FileStatus::kOk;
  }
  // Back to the start record alone, before the copy is undone: a crash after
  // the undo must not find "copied" and cut the source as well.
  bool Withdraw() {
    return !copiedWritten_ ||
           (file_->Truncate(start_.size()) == FileStatus::kOk && file_->Sync() == FileStatus::kOk);
  }
  // Nothing of ours on disk when the file could not even be opened.
  bool Clear() { return !file_ || ClearIntent(context_, file_, path_); }

 private:
  bool Write(std::span<const std::uint8_t> bytes, std::uint64_t atBytes) {
    std::size_t writtenBytes = 0;
    return file_->Seek(atBytes) == FileStatus::kOk &&
           file_->Write(bytes, writtenBytes) == FileStatus::kOk && writtenBytes == bytes.size();
  }

  const StorageContext& context_;
  std::string path_;
  std::unique_ptr<File> file_;
  std::vector<std::uint8_t> start_;
  bool copiedWritten_ = false;
};

}  // namespace

void PostError(const StorageContext& context, int id) {
  context.notifier.Post(Message::kError, static_cast<std::uint32_t>(id), {});
}

void PostWarningOnce(const StorageContext& context, int id) {
  if (!context.flags.WarningPending(id).exchange(true))
    context.notifier.Post(Message::kWarning, static_cast<std::uint32_t>(id), {});
}

void PostDebug(const StorageContext& context, std::string text) {
  context.notifier.Post(Message::kDebug, 0, std::move(text));
}

FileStatus AppendAtEnd(File& file, std::span<const std::uint8_t> bytes, bool sync) {
  std::uint64_t endBytes = 0;
  FileStatus status = file.Size(endBytes);
  if (status == FileStatus::kOk) status = file.Seek(endBytes);
  if (status != FileStatus::kOk) return status;
  std::size_t writtenBytes = 0;
  status = file.Write(bytes, writtenBytes);
  if (status == FileStatus::kOk && writtenBytes != bytes.size()) status = FileStatus::kIoError;
  if (status == FileStatus::kOk && sync) status = file.Sync();
  if (status == FileStatus::kOk) return status;
  // The chunk will be stored elsewhere or again; a piece of it left here
  // would appear twice.
  file.Truncate(endBytes);
  return status;
}

MoveResult MoveFile(const StorageContext& context, DataFileSet& set, File& from,
                    const std::string& fromPath, File& to, const std::string& toPath) {
  std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[kCopyBlockBytes]());
  if (!block) return MoveResult::kNoMemory;
  std::uint64_t sourceBytes = 0;
  std::uint64_t oldEndBytes = 0;
  if (from.Size(sourceBytes) != FileStatus::kOk || to.Size(oldEndBytes) != FileStatus::kOk)
    return MoveResult::kFailed;
  if (sourceBytes == 0) return MoveResult::kDone;

  Intent intent(context, fromPath);
  auto fail = [&] {
    // The source keeps everything, so the copy must not stay in `to` as well.
    std::uint64_t nowBytes = 0;
    const bool grown = to.Size(nowBytes) != FileStatus::kOk || nowBytes != oldEndBytes;
    const bool undone =
        intent.Withdraw() &&
        (!grown || (to.Truncate(oldEndBytes) == FileStatus::kOk && to.Sync() == FileStatus::kOk));
    if (!undone || !intent.Clear()) Remember(set, {fromPath, toPath});
    return MoveResult::kFailed;
  };
  if (!intent.Begin({oldEndBytes, sourceBytes, toPath})) return fail();

  if (to.Seek(oldEndBytes) != FileStatus::kOk || from.Seek(0) != FileStatus::kOk) return fail();
  const std::span<std::uint8_t> readSpan(block.get(), kCopyReadBytes);
  std::uint64_t copiedBytes = 0;
  for (;;) {
    std::size_t readBytes = 0;
    if (from.Read(readSpan, readBytes) != FileStatus::kOk) return fail();
    if (readBytes == 0) break;
    std::size_t writtenBytes = 0;
    if (to.Write(readSpan.first(readBytes), writtenBytes) != FileStatus::kOk ||
        writtenBytes != readBytes)
      return fail();
    copiedBytes += readBytes;
  }
  // The copy must be on the disk before the intent says so, and the intent
  // before the source is cut.
  if (copiedBytes != sourceBytes || to.Sync() != FileStatus::kOk || !intent.MarkCopied() ||
      from.Truncate(0) != FileStatus::kOk)
    return fail();
  // The bytes are in `to` now. A cut not yet on the disk, or an intent that
  // cannot be cleared, leaves the move to SettleMove, which cuts again.
  if (from.Sync() != FileStatus::kOk || !intent.Clear()) Remember(set, {fromPath, toPath});
  return MoveResult::kDone;
}

bool SettleMove(const StorageContext& context, DataFileSet& set, const std::string& sourcePath) {
  const std::string intentPath = IntentPath(sourcePath);
  std::uint64_t intentBytes = 0;
  if (!context.files.LookUp(intentPath, intentBytes)) {
    Forget(set, sourcePath);
    return true;
  }
  std::unique_ptr<File> intentFile;
  std::vector<std::uint8_t> bytes;
  if (context.files.Open(intentPath, OpenMode::kReadWrite, intentFile) != FileStatus::kOk ||
      !ReadAll(*intentFile, bytes)) {
    Remember(set, {sourcePath, {}});
    return false;
  }
  const DecodedIntent decoded = DecodeIntent(bytes);
  bool settled = true;
  switch (decoded.phase) {
    case MovePhase::kNone:
      // No whole start record (torn by the crash, or emptied): the copy had
      // not begun, because it begins only once the record is on the disk.
      break;
    case MovePhase::kCopying:
      settled = SettleCopying(context, sourcePath, decoded.intent);
      break;
    case MovePhase::kCopied:
      settled = CutSource(context, sourcePath);
      break;
  }
  if (settled && ClearIntent(context, intentFile, intentPath)) {
    Forget(set, sourcePath);
    return true;
  }
  Remember(set, {sourcePath, decoded.phase == MovePhase::kNone ? std::string()
                                                               : decoded.intent.destinationPath});
  return false;
}

PourOutcome PourOverflow(const StorageContext& context, DataFileSet& set, const SetPaths& paths,
                         File& data) {
  std::unique_ptr<File> overflow;
  if (OpenSetFile(context, set, paths.overflow, OpenMode::kReadWrite, overflow) !=
      FileStatus::kOk) {
    std::uint64_t sizeBytes = 0;
    const bool holdsData = context.files.LookUp(paths.overflow, sizeBytes) && sizeBytes > 0;
    return holdsData ? PourOutcome::kUnopenable : PourOutcome::kGone;
  }
  std::uint64_t sizeBytes = 0;
  overflow->Size(sizeBytes);
  switch (MoveFile(context, set, *overflow, paths.overflow, data, paths.data)) {
    case MoveResult::kDone:
      break;
    case MoveResult::kNoMemory:
      return PourOutcome::kNoMemory;
    case MoveResult::kFailed:
      return PourOutcome::kFailed;
  }
  if (set.strandedOverflowPath == paths.overflow) {
    set.strandedOverflowPath.clear();
    if (sizeBytes > 0)
      PostDebug(context, "File di trabocco " + paths.overflow +
                             " di nuovo accessibile: " + std::to_string(sizeBytes) +
                             " byte riversati in " + paths.data + " dopo dati più recenti.");
  }
  return PourOutcome::kEmptied;
}

FileStatus OpenSetFile(const StorageContext& context, DataFileSet& set, const std::string& path,
                       OpenMode mode, std::unique_ptr<File>& file) {
  const bool movingOut = mode == OpenMode::kReadWrite;
  if (movingOut || !set.unfinishedMoves.empty()) {
    std::vector<std::string> sources;
    for (const UnfinishedMove& move : set.unfinishedMoves)
      if (Involves(move, path)) sources.push_back(move.sourcePath);
    if (movingOut && std::find(sources.begin(), sources.end(), path) == sources.end())
      sources.push_back(path);
    for (const std::string& source : sources) SettleMove(context, set, source);
    if (std::any_of(set.unfinishedMoves.begin(), set.unfinishedMoves.end(),
                    [&](const UnfinishedMove& move) { return Involves(move, path); }))
      return FileStatus::kBusy;
  }
  return context.files.Open(path, mode, file);
}

}  // namespace vr::storage_internal
