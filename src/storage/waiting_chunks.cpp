#include "storage/waiting_chunks.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "storage/transfer.h"

namespace vr {

std::string RescuePath(const std::string& overflowPath) {
  const std::size_t nameAt = overflowPath.find_last_of("/\\") + 1;  // npos + 1 == 0
  const std::size_t dotAt = overflowPath.rfind('.');
  if (dotAt == std::string::npos || dotAt < nameAt) return overflowPath + "_R";
  std::string path = overflowPath;
  path.insert(dotAt, "_R");
  return path;
}

}  // namespace vr

namespace vr::storage_internal {
namespace {

HeldChunks* FindHeld(DataFileSet& set, const SetPaths& paths) {
  for (HeldChunks& held : set.held)
    if (held.dataPath == paths.data && held.overflowPath == paths.overflow) return &held;
  return nullptr;
}

bool RescueHoldsData(const StorageContext& context, const SetPaths& paths) {
  std::uint64_t sizeBytes = 0;
  return context.files.LookUp(paths.rescue, sizeBytes) && sizeBytes > 0;
}

struct Appended {
  bool all = true;
  std::uint64_t bytes = 0;
};

// Appends the pair's held chunks to file, oldest first, flushes them and
// drops those that went. A flush that fails takes them all back.
Appended AppendHeld(File& file, DataFileSet& set, const SetPaths& paths) {
  HeldChunks* held = FindHeld(set, paths);
  if (held == nullptr) return {};
  std::uint64_t startBytes = 0;
  if (file.Size(startBytes) != FileStatus::kOk) return {false, 0};
  std::size_t count = 0;
  std::uint64_t bytes = 0;
  for (const std::vector<std::uint8_t>& chunk : held->chunks) {
    if (AppendAtEnd(file, chunk, false) != FileStatus::kOk) break;
    ++count;
    bytes += chunk.size();
  }
  if (count > 0 && file.Sync() != FileStatus::kOk) {
    file.Truncate(startBytes);
    count = 0;
    bytes = 0;
  }
  const bool all = count == held->chunks.size();
  held->chunks.erase(held->chunks.begin(),
                     held->chunks.begin() + static_cast<std::ptrdiff_t>(count));
  set.heldBytes -= static_cast<std::size_t>(bytes);
  std::erase_if(set.held, [](const HeldChunks& h) { return h.chunks.empty(); });
  return {all, bytes};
}

void HoldChunk(const StorageContext& context, DataFileSet& set, const SetPaths& paths,
               std::span<const std::uint8_t> chunk) {
  if (chunk.empty()) return;
  if (chunk.size() > kHeldLimitBytes - set.heldBytes) {
    set.lostBytes += chunk.size();
    PostDebug(context, "Persi " + std::to_string(chunk.size()) + " byte di dati.");
    return;
  }
  HeldChunks* held = FindHeld(set, paths);
  if (held == nullptr) held = &set.held.emplace_back(HeldChunks{paths.data, paths.overflow, {}});
  held->chunks.emplace_back(chunk.begin(), chunk.end());
  set.heldBytes += chunk.size();
}

}  // namespace

SetPaths PathsOf(const std::string& dataPath, const std::string& overflowPath) {
  return {dataPath, overflowPath, RescuePath(overflowPath)};
}

bool HoldsChunks(const DataFileSet& set, const SetPaths& paths) {
  return std::any_of(set.held.begin(), set.held.end(), [&](const HeldChunks& held) {
    return held.dataPath == paths.data && held.overflowPath == paths.overflow &&
           !held.chunks.empty();
  });
}

bool Waits(const StorageContext& context, const DataFileSet& set, const SetPaths& paths) {
  return HoldsChunks(set, paths) || RescueHoldsData(context, paths);
}

Poured PourWaiting(const StorageContext& context, DataFileSet& set, const SetPaths& paths,
                   File& target, const std::string& targetPath) {
  Poured poured;
  if (RescueHoldsData(context, paths)) {
    std::unique_ptr<File> rescue;
    if (OpenSetFile(context, set, paths.rescue, OpenMode::kReadWrite, rescue) != FileStatus::kOk ||
        MoveFile(context, set, *rescue, paths.rescue, target, targetPath) != MoveResult::kDone)
      return {false, false};
    poured.moved = true;
  }
  const Appended held = AppendHeld(target, set, paths);
  poured.clear = held.all;
  poured.moved = poured.moved || held.bytes > 0;
  return poured;
}

bool KeepWaiting(const StorageContext& context, DataFileSet& set, const SetPaths& paths,
                 std::span<const std::uint8_t> chunk, bool sync) {
  std::unique_ptr<File> rescue;
  if (OpenSetFile(context, set, paths.rescue, OpenMode::kWrite, rescue) == FileStatus::kOk &&
      AppendHeld(*rescue, set, paths).all && AppendAtEnd(*rescue, chunk, sync) == FileStatus::kOk)
    return true;
  HoldChunk(context, set, paths, chunk);
  return false;
}

void MoveWaitingBack(const StorageContext& context, DataFileSet& set, const SetPaths& paths) {
  std::uint64_t overflowBytes = 0;
  const bool overflowHoldsData =
      context.files.LookUp(paths.overflow, overflowBytes) && overflowBytes > 0;
  if (!overflowHoldsData && !Waits(context, set, paths)) return;

  std::unique_ptr<File> data;
  if (OpenSetFile(context, set, paths.data, OpenMode::kWrite, data) == FileStatus::kOk) {
    bool inOrder = !overflowHoldsData;
    if (overflowHoldsData) {
      const PourOutcome outcome = PourOverflow(context, set, paths, *data);
      inOrder = outcome == PourOutcome::kEmptied || outcome == PourOutcome::kGone ||
                (outcome == PourOutcome::kUnopenable && set.strandedOverflowPath == paths.overflow);
    }
    if (inOrder && PourWaiting(context, set, paths, *data, paths.data).clear) return;
    data.reset();
  }
  if (!Waits(context, set, paths)) return;
  // What the data file cannot take yet goes behind the overflow file's
  // content; held chunks that the overflow file refuses, to the rescue file.
  // Both survive a restart.
  std::unique_ptr<File> overflow;
  if (OpenSetFile(context, set, paths.overflow, OpenMode::kWrite, overflow) == FileStatus::kOk) {
    const Poured poured = PourWaiting(context, set, paths, *overflow, paths.overflow);
    if (poured.moved) set.overflowPending = true;
    if (poured.clear) return;
    overflow.reset();
  }
  if (!HoldsChunks(set, paths)) return;
  std::unique_ptr<File> rescue;
  if (OpenSetFile(context, set, paths.rescue, OpenMode::kWrite, rescue) == FileStatus::kOk)
    AppendHeld(*rescue, set, paths);
}

void OfferWaitingElsewhere(const StorageContext& context, DataFileSet& set, const SetPaths& paths) {
  std::vector<std::pair<std::string, std::string>> others;
  for (const HeldChunks& held : set.held)
    if (held.dataPath != paths.data || held.overflowPath != paths.overflow)
      others.emplace_back(held.dataPath, held.overflowPath);
  for (const auto& [otherData, otherOverflow] : others)
    MoveWaitingBack(context, set, PathsOf(otherData, otherOverflow));
}

}  // namespace vr::storage_internal

namespace vr {

std::vector<std::string> RescueHeldChunks(const StorageContext& context, StorageState& state) {
  using namespace storage_internal;
  std::vector<std::string> lines;
  std::uint64_t lostBytes = 0;
  for (DataFileSet* set : {&state.main, &state.second, &state.history}) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const HeldChunks& held : set->held) pairs.emplace_back(held.dataPath, held.overflowPath);
    for (const auto& [dataPath, overflowPath] : pairs) {
      const SetPaths paths = PathsOf(dataPath, overflowPath);
      std::unique_ptr<File> rescue;
      if (OpenSetFile(context, *set, paths.rescue, OpenMode::kWrite, rescue) != FileStatus::kOk)
        continue;
      const Appended appended = AppendHeld(*rescue, *set, paths);
      if (appended.bytes > 0)
        lines.push_back("Salvati " + std::to_string(appended.bytes) +
                        " byte di dati nel file di soccorso " + paths.rescue + ".");
    }
    lostBytes += set->heldBytes;
  }
  if (lostBytes > 0) lines.push_back("Persi " + std::to_string(lostBytes) + " byte di dati.");
  return lines;
}

}  // namespace vr
