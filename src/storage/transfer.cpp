#include "storage/transfer.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace vr::storage_internal {
namespace {

HeldChunks* FindHeld(DataFileSet& set, const std::string& dataPath,
                     const std::string& overflowPath) {
  for (HeldChunks& held : set.held)
    if (held.dataPath == dataPath && held.overflowPath == overflowPath) return &held;
  return nullptr;
}

void DropEmptyHeld(DataFileSet& set) {
  std::erase_if(set.held, [](const HeldChunks& held) { return held.chunks.empty(); });
}

}  // namespace

void PostError(const StorageContext& context, int id) {
  context.notifier.Post(Message::kError, static_cast<std::uint32_t>(id), {});
}

void PostWarningOnce(const StorageContext& context, int id) {
  if (!context.flags.WarningPending(id).exchange(true))
    context.notifier.Post(Message::kWarning, static_cast<std::uint32_t>(id), {});
}

bool AppendAtEnd(File& file, std::span<const std::uint8_t> bytes) {
  std::uint64_t endBytes = 0;
  if (file.Size(endBytes) != FileStatus::kOk || file.Seek(endBytes) != FileStatus::kOk)
    return false;
  std::size_t writtenBytes = 0;
  if (file.Write(bytes, writtenBytes) == FileStatus::kOk && writtenBytes == bytes.size())
    return true;
  // The chunk will be stored elsewhere or again; a piece of it left here
  // would appear twice.
  file.Truncate(endBytes);
  return false;
}

MoveResult MoveContent(File& from, File& to) {
  std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[kCopyBlockBytes]());
  if (!block) return MoveResult::kNoMemory;
  std::uint64_t oldEndBytes = 0;
  if (to.Size(oldEndBytes) != FileStatus::kOk || to.Seek(oldEndBytes) != FileStatus::kOk ||
      from.Seek(0) != FileStatus::kOk)
    return MoveResult::kFailed;
  const std::span<std::uint8_t> readSpan(block.get(), kCopyReadBytes);
  for (;;) {
    std::size_t readBytes = 0;
    if (from.Read(readSpan, readBytes) != FileStatus::kOk) break;
    if (readBytes == 0) {
      // Every byte is in `to` now; the move counts only once the source is empty.
      if (from.Truncate(0) == FileStatus::kOk) return MoveResult::kDone;
      break;
    }
    std::size_t writtenBytes = 0;
    if (to.Write(readSpan.first(readBytes), writtenBytes) != FileStatus::kOk ||
        writtenBytes != readBytes)
      break;
  }
  // The source keeps everything, so the copy must not stay in `to` as well.
  to.Truncate(oldEndBytes);
  return MoveResult::kFailed;
}

bool HoldsChunks(const DataFileSet& set, const std::string& dataPath,
                 const std::string& overflowPath) {
  return std::any_of(set.held.begin(), set.held.end(), [&](const HeldChunks& held) {
    return held.dataPath == dataPath && held.overflowPath == overflowPath && !held.chunks.empty();
  });
}

bool AppendHeld(File& file, DataFileSet& set, const std::string& dataPath,
                const std::string& overflowPath) {
  HeldChunks* held = FindHeld(set, dataPath, overflowPath);
  if (held == nullptr) return true;
  while (!held->chunks.empty()) {
    const std::vector<std::uint8_t>& oldest = held->chunks.front();
    if (!AppendAtEnd(file, oldest)) return false;
    set.heldBytes -= oldest.size();
    held->chunks.pop_front();
  }
  DropEmptyHeld(set);
  return true;
}

void HoldChunk(const StorageContext& context, DataFileSet& set, const std::string& dataPath,
               const std::string& overflowPath, std::span<const std::uint8_t> chunk) {
  if (chunk.empty()) return;
  if (chunk.size() > kHeldLimitBytes - set.heldBytes) {
    set.lostBytes += chunk.size();
    context.notifier.Post(Message::kDebug, 0,
                          "Persi " + std::to_string(chunk.size()) + " byte di dati.");
    return;
  }
  HeldChunks* held = FindHeld(set, dataPath, overflowPath);
  if (held == nullptr) held = &set.held.emplace_back(HeldChunks{dataPath, overflowPath, {}});
  held->chunks.emplace_back(chunk.begin(), chunk.end());
  set.heldBytes += chunk.size();
}

void MoveBack(const StorageContext& context, const std::string& dataPath,
              const std::string& overflowPath, DataFileSet& set) {
  std::uint64_t overflowBytes = 0;
  const bool overflowHoldsData =
      context.files.LookUp(overflowPath, overflowBytes) && overflowBytes > 0;
  if (!overflowHoldsData && !HoldsChunks(set, dataPath, overflowPath)) return;

  std::unique_ptr<File> data;
  if (context.files.Open(dataPath, OpenMode::kWrite, data) == FileStatus::kOk) {
    bool inOrder = !overflowHoldsData;
    if (overflowHoldsData) {
      std::unique_ptr<File> overflow;
      if (context.files.Open(overflowPath, OpenMode::kReadWrite, overflow) == FileStatus::kOk)
        inOrder = MoveContent(*overflow, *data) == MoveResult::kDone;
    }
    if (inOrder && AppendHeld(*data, set, dataPath, overflowPath)) return;
    data.reset();
  }
  // Held chunks that the data file cannot take yet go behind the overflow
  // file's content, which survives a restart.
  if (!HoldsChunks(set, dataPath, overflowPath)) return;
  std::unique_ptr<File> overflow;
  if (context.files.Open(overflowPath, OpenMode::kWrite, overflow) != FileStatus::kOk) return;
  const std::size_t heldBefore = set.heldBytes;
  AppendHeld(*overflow, set, dataPath, overflowPath);
  if (set.heldBytes != heldBefore) set.overflowPending = true;
}

void OfferHeldElsewhere(const StorageContext& context, DataFileSet& set,
                        const std::string& dataPath, const std::string& overflowPath) {
  std::vector<std::pair<std::string, std::string>> others;
  for (const HeldChunks& held : set.held)
    if (held.dataPath != dataPath || held.overflowPath != overflowPath)
      others.emplace_back(held.dataPath, held.overflowPath);
  for (const auto& [otherData, otherOverflow] : others)
    MoveBack(context, otherData, otherOverflow, set);
}

}  // namespace vr::storage_internal
