#pragma once
// What a storage test works with: a temporary directory, the real files
// behind a FaultyFileSystem, a recording notifier, the flags and a manual
// clock, all tied into one StorageContext.

#include <cstdint>
#include <span>
#include <string>

#include "base/clock.h"
#include "base/flags.h"
#include "config/settings.h"
#include "storage/data_file_set.h"
#include "storage/file_system.h"
#include "support/recording_notifier.h"
#include "support/storage_faulty_file_system.h"
#include "support/temp_dir.h"

namespace vr::test {

inline std::span<const std::uint8_t> AsBytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// n bytes that differ from block to block, so a block copied twice or out of
// order shows in a comparison.
inline std::string Pattern(std::size_t n, unsigned seed = 1) {
  std::string bytes(n, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

// A site whose three data files and their overflow files lie in dir.
inline SiteSettings ThreeSetSite(const TempDir& dir) {
  SiteSettings site;
  site.dati = dir.File("D1.TXT");
  site.datiOverflow = dir.File("S1D1_D.TXT");
  site.dati2 = dir.File("D2.TXT");
  site.dati2Overflow = dir.File("S1D2_B.TXT");
  site.storico = dir.File("ST.TXT");
  site.storicoOverflow = dir.File("S1ST_S.TXT");
  return site;
}

struct StorageTestEnv {
  TempDir dir;
  NativeFileSystem native;
  FaultyFileSystem files{native};
  RecordingNotifier notifier;
  ProcessFlags flags;
  ManualClock clock;
  StorageContext context{files, notifier, flags, clock};

  static RecordingNotifier::Note Error(int id) {
    return {Message::kError, static_cast<std::uint32_t>(id), "", false};
  }
  static RecordingNotifier::Note Warning(int id) {
    return {Message::kWarning, static_cast<std::uint32_t>(id), "", false};
  }
};

}  // namespace vr::test
