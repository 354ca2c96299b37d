#include "storage/move_intent.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace vr::storage_internal {
namespace {

// Start record: "VRTRAVASO1", destination length before (8 bytes), source
// length (8), path length (4), path, CRC-32 of all before it (4). Numbers
// little-endian whatever the machine, so a file written by one build reads
// in another.
constexpr char kStartMagic[] = "VRTRAVASO1";
// Copied record: "VRCOPIATO1", CRC-32 of the start record without its own
// CRC, then this magic. (Over the whole start record it would be the same
// for every record: a message followed by its CRC always has one CRC.)
constexpr char kCopiedMagic[] = "VRCOPIATO1";
constexpr std::size_t kMagicBytes = sizeof(kStartMagic) - 1;
static_assert(sizeof(kCopiedMagic) - 1 == kMagicBytes);
constexpr std::size_t kFixedStartBytes = kMagicBytes + 8 + 8 + 4 + 4;
constexpr std::size_t kCopiedBytes = kMagicBytes + 4;

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0) {
  crc = ~crc;
  for (std::uint8_t b : bytes) crc = kCrcTable[(crc ^ b) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

void PutNumber(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t GetNumber(std::span<const std::uint8_t> in, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value |= std::uint64_t{in[at + static_cast<std::size_t>(i)]} << (8 * i);
  return value;
}

// Byte by byte: vector::insert of a char range draws a false -Wstringop-overflow
// from GCC 12 at -O3.
void PutText(std::vector<std::uint8_t>& out, std::string_view text) {
  for (char c : text) out.push_back(static_cast<std::uint8_t>(c));
}

void PutMagic(std::vector<std::uint8_t>& out, const char* magic) {
  PutText(out, std::string_view(magic, kMagicBytes));
}

bool HasMagic(std::span<const std::uint8_t> in, const char* magic) {
  return in.size() >= kMagicBytes && std::memcmp(in.data(), magic, kMagicBytes) == 0;
}

}  // namespace

std::string IntentPath(const std::string& sourcePath) { return sourcePath + ".TRAVASO"; }

std::vector<std::uint8_t> EncodeStartRecord(const MoveIntent& intent) {
  std::vector<std::uint8_t> out;
  out.reserve(kFixedStartBytes + intent.destinationPath.size());
  PutMagic(out, kStartMagic);
  PutNumber(out, intent.destinationBytesBefore, 8);
  PutNumber(out, intent.sourceBytes, 8);
  PutNumber(out, intent.destinationPath.size(), 4);
  PutText(out, intent.destinationPath);
  PutNumber(out, Crc32(out), 4);
  return out;
}

std::vector<std::uint8_t> EncodeCopiedRecord(std::span<const std::uint8_t> startRecord) {
  std::vector<std::uint8_t> out;
  PutMagic(out, kCopiedMagic);
  const std::span<const std::uint8_t> covered =
      startRecord.first(startRecord.size() < 4 ? 0 : startRecord.size() - 4);
  const std::uint32_t crc = Crc32(out, Crc32(covered));
  PutNumber(out, crc, 4);
  return out;
}

DecodedIntent DecodeIntent(std::span<const std::uint8_t> bytes) {
  DecodedIntent decoded;
  if (bytes.size() < kFixedStartBytes || !HasMagic(bytes, kStartMagic)) return decoded;
  const std::uint64_t pathBytes = GetNumber(bytes, kMagicBytes + 16, 4);
  if (pathBytes > bytes.size() - kFixedStartBytes) return decoded;
  const std::size_t crcAt = kFixedStartBytes - 4 + static_cast<std::size_t>(pathBytes);
  const std::span<const std::uint8_t> start = bytes.first(crcAt);
  if (GetNumber(bytes, crcAt, 4) != Crc32(start)) return decoded;

  decoded.phase = MovePhase::kCopying;
  decoded.startRecordBytes = crcAt + 4;
  decoded.intent.destinationBytesBefore = GetNumber(bytes, kMagicBytes, 8);
  decoded.intent.sourceBytes = GetNumber(bytes, kMagicBytes + 8, 8);
  const auto* path = reinterpret_cast<const char*>(bytes.data() + kFixedStartBytes - 4);
  decoded.intent.destinationPath.assign(path, static_cast<std::size_t>(pathBytes));

  const std::span<const std::uint8_t> rest = bytes.subspan(decoded.startRecordBytes);
  const std::vector<std::uint8_t> copied =
      EncodeCopiedRecord(bytes.first(decoded.startRecordBytes));
  if (rest.size() >= kCopiedBytes && std::equal(copied.begin(), copied.end(), rest.begin()))
    decoded.phase = MovePhase::kCopied;
  return decoded;
}

}  // namespace vr::storage_internal
