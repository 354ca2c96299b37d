#pragma once
// The three data file sets of a site (Dati, Dati2, Storico, each with its
// overflow file) and how a processed chunk is stored in them.
//
// While the importer holds a data file, chunks are appended to the set's
// overflow file and poured back ("travaso") at the next write that finds the
// data file free, so the records keep their order. A chunk that no file takes
// is held in memory and offered again before the next chunk and at every
// merge turn (merge.h).

#include <cstdint>
#include <span>
#include <string>

#include "config/settings.h"
#include "storage/data_file_set.h"

namespace vr {

// Appends chunk to the set: 0 when it went into the data file (after the
// overflow file's content and any held chunks), msg::kDataFileUnavailable
// (9001) when it went into the overflow file, msg::kOverflowUnavailable
// (9002) when neither took it (it is then held, or dropped past
// kHeldLimitBytes). Posts the error lines and warning boxes of the set.
int WriteRecords(const StorageContext& context, const std::string& dataPath,
                 const std::string& overflowPath, DataFileSet& set,
                 std::span<const std::uint8_t> chunk);

// Creates the two files of a set when missing and marks the set pending when
// the overflow file holds data. False (after posting msg::kDataFilesCreate)
// when the overflow file cannot be created or opened.
bool PrepareDataFiles(const StorageContext& context, const std::string& dataPath,
                      const std::string& overflowPath, DataFileSet& set);

// PrepareDataFiles for the three sets of the site, main first, at the start
// of a connection. Returns the main set's result; the other two report their
// own failures but do not count.
bool PrepareSiteDataFiles(const StorageContext& context, const SiteSettings& site,
                          StorageState& state);

// Stores one processed chunk: the main set, the busy time of the main data
// file (warning 7001 past FileTimeout), the disk space guard (warning 7004),
// then the second and the history set.
void StoreChunk(const StorageContext& context, const SiteSettings& site, StorageState& state,
                std::span<const std::uint8_t> chunk);

// The busy-time part of StoreChunk: mainResult is what WriteRecords returned
// for the main set. Once the main data file has refused chunks for longer than
// fileTimeoutMs, posts warning 7001 (unless one is pending); the measure
// starts again with the first refused chunk after the box was closed.
void TrackDataFileBusyTime(const StorageContext& context, StorageState& state, int mainResult,
                           std::uint32_t fileTimeoutMs);

}  // namespace vr
