#pragma once
// The intent file of a move (a pour-back or a merge): before the first byte
// is copied from a source file (an overflow or rescue file) to the end of its
// destination, a record of what is about to happen is written beside the
// source and flushed, so that a recorder killed during the move can tell at
// its next start whether the copy had begun, was complete, or was followed
// by the cut of the source. Internal to the storage module.
//
// The file is the source's path with ".TRAVASO" added. It holds a start
// record, and once the copy is complete and flushed a second, "copied"
// record. Each record carries its own checksum, so a record torn by a crash
// is recognised and counts as not written.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vr::storage_internal {

std::string IntentPath(const std::string& sourcePath);

struct MoveIntent {
  std::uint64_t destinationBytesBefore = 0;  // the destination's length before the copy
  std::uint64_t sourceBytes = 0;             // what the copy appends
  std::string destinationPath;
  friend bool operator==(const MoveIntent&, const MoveIntent&) = default;
};

std::vector<std::uint8_t> EncodeStartRecord(const MoveIntent& intent);
// The record that follows a start record once the copy is complete; it
// belongs to that start record alone.
std::vector<std::uint8_t> EncodeCopiedRecord(std::span<const std::uint8_t> startRecord);

enum class MovePhase : std::uint8_t {
  kNone,     // no valid start record: the copy had not begun
  kCopying,  // a start record only: the copy may have begun, or be complete
  kCopied,   // the copy is complete and on the disk; the source may still hold it
};

struct DecodedIntent {
  MovePhase phase = MovePhase::kNone;
  MoveIntent intent;
  std::size_t startRecordBytes = 0;
};

DecodedIntent DecodeIntent(std::span<const std::uint8_t> bytes);

// An intent file never needs more than this; a longer one is not ours.
inline constexpr std::size_t kMaxIntentBytes = 4096;

}  // namespace vr::storage_internal
