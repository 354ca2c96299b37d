#pragma once
// The state that storage keeps between chunks: per data file set, whether the
// overflow file and the rescue file may hold data not yet poured back, the
// chunks that no file could take, and the moves that a crash or a failure
// left unfinished. One StorageState lives as long as the process, owned by
// whoever owns the site worker, and is handed to every storage call.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/flags.h"
#include "base/notifier.h"
#include "storage/file_system.h"

namespace vr {

// Past this many bytes held in memory for one set, further chunks that no
// file takes are dropped (and the loss is logged).
inline constexpr std::size_t kHeldLimitBytes = std::size_t{64} << 20;

// Chunks for one pair of paths that neither the data file, the overflow file
// nor the rescue file could take, oldest first. Keyed by the paths because
// the worker serves several sites one after another and each chunk belongs
// to its own files.
struct HeldChunks {
  std::string dataPath;
  std::string overflowPath;
  std::deque<std::vector<std::uint8_t>> chunks;
};

// A move of one file's content into another (a pour-back or a merge) whose
// intent file is still on disk. Until it is settled neither file is written,
// or the settling could cut or keep the wrong bytes.
struct UnfinishedMove {
  std::string sourcePath;
  std::string destinationPath;  // empty: the intent could not be read; every file of the set waits
};

struct DataFileSet {
  // The overflow file may hold data that has not been poured back yet.
  bool overflowPending = false;
  // The rescue file (waiting_chunks.h) may hold data not yet poured back.
  bool rescuePending = false;
  // Usually empty; at most one entry per pair of paths.
  std::vector<HeldChunks> held;
  std::size_t heldBytes = 0;    // over every entry of held
  std::uint64_t lostBytes = 0;  // dropped past kHeldLimitBytes since the process started
  // The last chunk went to memory only: until a file takes a chunk again the
  // failures of each further chunk are not logged once more.
  bool memoryEpisode = false;
  std::vector<UnfinishedMove> unfinishedMoves;
  // An overflow file that holds data but cannot be opened while its data file
  // can: since when (tick) the data file has been kept waiting for it...
  std::string blockedOverflowPath;
  std::uint64_t blockedSinceMs = 0;
  // ...and the overflow file given up on past FileTimeout: newer records go
  // to the data file before its content, which is poured back whenever the
  // file can be opened again.
  std::string strandedOverflowPath;
};

struct StorageState {
  DataFileSet main;     // Dati
  DataFileSet second;   // Dati2
  DataFileSet history;  // Storico
  // Tick at which the main data file was first found busy in the running
  // measure of FileTimeout; empty while nothing is being measured.
  std::optional<std::uint64_t> busySinceMs;
};

// What every storage operation reports to and works through.
struct StorageContext {
  FileSystem& files;
  Notifier& notifier;
  ProcessFlags& flags;
  const Clock& clock;
};

// The three files of one set as one call sees them.
struct SetPaths {
  const std::string& data;
  const std::string& overflow;
  std::string rescue;  // RescuePath(overflow), waiting_chunks.h
};

}  // namespace vr
