#pragma once
// The state that storage keeps between chunks: per data file set, whether the
// overflow file may hold data not yet poured back, and the chunks that no file
// could take. One StorageState lives as long as the process, owned by whoever
// owns the site worker, and is handed to every storage call.

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

// Chunks for one pair of paths that neither the data file nor the overflow
// file could take, oldest first. Keyed by the paths because the worker serves
// several sites one after another and each chunk belongs to its own files.
struct HeldChunks {
  std::string dataPath;
  std::string overflowPath;
  std::deque<std::vector<std::uint8_t>> chunks;
};

struct DataFileSet {
  // The overflow file may hold data that has not been poured back yet.
  bool overflowPending = false;
  // Usually empty; at most one entry per pair of paths.
  std::vector<HeldChunks> held;
  std::size_t heldBytes = 0;    // over every entry of held
  std::uint64_t lostBytes = 0;  // dropped past kHeldLimitBytes since the process started
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

}  // namespace vr
