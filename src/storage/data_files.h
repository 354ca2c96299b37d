#pragma once
// The three data file sets of a site (Dati, Dati2, Storico, each with its
// overflow file) and how a processed chunk is stored in them.
//
// While the importer holds a data file, chunks are appended to the set's
// overflow file and poured back ("travaso") at the next write that finds the
// data file free, so the records keep their order. A chunk that neither file
// takes waits in the set's rescue file, or in memory (waiting_chunks.h), and
// is offered again before the next chunk and at every merge turn (merge.h).
// Every pour-back is protected by an intent file (move_intent.h), so a
// recorder killed at any point stores each record once.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "config/settings.h"
#include "storage/data_file_set.h"
#include "storage/waiting_chunks.h"  // RescueHeldChunks, at the worker's end

namespace vr {

struct WriteOptions {
  // Sincronizza: the chunk is on the disk, wherever it went, before
  // WriteRecords returns.
  bool sync = false;
  // FileTimeout: how long a free data file waits behind an overflow file
  // that holds data but cannot be opened (another process's lock,
  // permissions). Past it the newer records go to the data file and the
  // overflow file's content is reported, once, as left behind; it is poured
  // back, late, once the file opens again. 0: at once; empty: it waits for
  // ever.
  std::optional<std::uint32_t> strandAfterMs;
};

// Appends chunk to the set: 0 when it went into the data file (after the
// overflow file's content and whatever waits behind it),
// msg::kDataFileUnavailable (9001) when it went into the overflow file,
// msg::kOverflowUnavailable (9002) when neither took it (it then waits in the
// rescue file, or in memory, or is dropped past kHeldLimitBytes). Posts the
// error lines and warning boxes of the set; while chunks go to memory only,
// the failures of the first such chunk are logged and not those of the
// following ones (a full disk logs once, not once per chunk).
int WriteRecords(const StorageContext& context, const std::string& dataPath,
                 const std::string& overflowPath, DataFileSet& set,
                 std::span<const std::uint8_t> chunk, const WriteOptions& options = {});

// Finishes or undoes a pour-back or merge of the set that a crash
// interrupted, creates the two files of a set when missing and marks the set
// pending when the overflow file holds data. False (after posting
// msg::kDataFilesCreate) when the overflow file cannot be created or opened.
// Runs before the first write of a set in a process.
bool PrepareDataFiles(const StorageContext& context, const std::string& dataPath,
                      const std::string& overflowPath, DataFileSet& set);

// PrepareDataFiles for the three sets of the site, main first, at the start
// of a connection. Returns the main set's result; the other two report their
// own failures but do not count.
bool PrepareSiteDataFiles(const StorageContext& context, const SiteSettings& site,
                          StorageState& state);

// Stores one processed chunk: the main set, the busy time of the main data
// file (warning 7001 past FileTimeout), the disk space guard (warning 7004),
// then the second and the history set. With the site's Sincronizza the chunk
// is on the disk in every set when it returns.
void StoreChunk(const StorageContext& context, const SiteSettings& site, StorageState& state,
                std::span<const std::uint8_t> chunk);

// The busy-time part of StoreChunk: mainResult is what WriteRecords returned
// for the main set. Once the main data file has refused chunks for longer than
// fileTimeoutMs, posts warning 7001 (unless one is pending); the measure
// starts again with the first refused chunk after the box was closed.
void TrackDataFileBusyTime(const StorageContext& context, StorageState& state, int mainResult,
                           std::uint32_t fileTimeoutMs);

}  // namespace vr
