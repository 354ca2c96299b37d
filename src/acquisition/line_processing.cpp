#include "acquisition/line_processing.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "base/civil_time.h"

namespace vr {
namespace {

// Room the in-place algorithm asks for before inserting a line end (the byte,
// the terminator and one spare) and before inserting a header.
constexpr std::size_t kLineEndRoomBytes = 3;
constexpr std::size_t kHeaderRoomBytes = kMaxHeaderBytes + 1;

// Position of the first `byte` in [from, end) of bytes, or end.
std::size_t Find(const std::uint8_t* bytes, std::size_t from, std::size_t end, std::uint8_t byte) {
  if (from >= end) return end;
  const void* hit = std::memchr(bytes + from, byte, end - from);
  return hit == nullptr ? end
                        : static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - bytes);
}

// Grows by read chunks until the capacity reaches requiredBytes. One step is
// what the in-place algorithm takes; more are needed only when a read chunk is
// smaller than the room asked for (a short call-log record), where a single
// step would let the insertion overrun the buffer.
bool EnsureCapacity(LineBuffers& buffers, std::size_t requiredBytes) {
  while (buffers.Capacity() < requiredBytes) {
    if (!buffers.GrowLineBuffers()) return false;
  }
  return true;
}

// Two decimal digits of value (0..99).
void PutTwoDigits(std::uint8_t* out, int value) {
  out[0] = static_cast<std::uint8_t>('0' + value / 10);
  out[1] = static_cast<std::uint8_t>('0' + value % 10);
}

}  // namespace

std::ptrdiff_t DeleteCharacter(std::span<std::uint8_t> buffer, std::size_t& count,
                               std::uint8_t byte) {
  assert(count < buffer.size());
  std::uint8_t* const bytes = buffer.data();
  const std::size_t first = Find(bytes, 0, count, byte);
  if (first == count) return 0;
  // Each kept byte moves once, over the gap left by the ones removed so far.
  std::size_t write = first;
  std::size_t read = first + 1;
  while (read < count) {
    const std::size_t next = Find(bytes, read, count, byte);
    std::memmove(bytes + write, bytes + read, next - read);
    write += next - read;
    read = next + 1;
  }
  bytes[write] = 0;
  const auto removed = static_cast<std::ptrdiff_t>(count - write);
  count = write;
  return -removed;
}

void ReplaceAlternativeLineEnd(std::span<std::uint8_t> chunk, std::uint8_t alternative) {
  std::replace(chunk.begin(), chunk.end(), alternative, kCarriageReturn);
}

std::size_t NormalizeLineEnds(LineBuffers& buffers, std::size_t count, LineProcessingState& state) {
  if (!buffers.Available()) return 0;
  assert(count <= buffers.Capacity());
  buffers.Receive()[count] = 0;

  // The chunk proper starts after a byte that completes last chunk's pair.
  std::size_t start = 0;
  if (state.lineEndCarry != 0) {
    if (count > 0 && buffers.Receive()[0] == state.lineEndCarry) start = 1;
    state.lineEndCarry = 0;
  }
  if (count == start) {
    buffers.Receive()[0] = 0;
    return 0;
  }

  const std::uint8_t* in = buffers.Receive().data();
  std::uint8_t* out = buffers.Scratch().data();
  const std::size_t end = count;
  std::size_t read = start;
  std::size_t written = 0;
  std::size_t nextCr = Find(in, read, end, kCarriageReturn);
  std::size_t nextLf = Find(in, read, end, kLineFeed);
  for (;;) {
    if (nextCr < read) nextCr = Find(in, read, end, kCarriageReturn);
    if (nextLf < read) nextLf = Find(in, read, end, kLineFeed);
    const std::size_t lineEnd = std::min(nextCr, nextLf);
    std::memcpy(out + written, in + read, lineEnd - read);
    written += lineEnd - read;
    if (lineEnd == end) break;

    // The in-place count at this point: what is done plus what is left.
    const std::size_t inPlaceCount = written + (end - lineEnd);
    if (inPlaceCount + kLineEndRoomBytes > buffers.Capacity()) {
      if (!EnsureCapacity(buffers, inPlaceCount + kLineEndRoomBytes)) return 0;
      in = buffers.Receive().data();
      out = buffers.Scratch().data();
    }
    ++state.lineCount;
    const std::uint8_t first = in[lineEnd];
    const std::uint8_t other = first == kCarriageReturn ? kLineFeed : kCarriageReturn;
    out[written++] = kCarriageReturn;
    out[written++] = kLineFeed;
    // in[end] is the terminator, so a last byte never pairs.
    if (in[lineEnd + 1] == other) {
      read = lineEnd + 2;
    } else {
      read = lineEnd + 1;
      if (read == end) state.lineEndCarry = other;
    }
  }
  out[written] = 0;
  buffers.SwapReceiveAndScratch();
  return written;
}

LineHeader MakeLineHeader(std::string_view siteCode, bool withDate, bool withTime,
                          std::int64_t localSeconds) {
  constexpr std::size_t kSiteCodeBytes = 4;
  constexpr std::size_t kSiteFieldBytes = 5;
  LineHeader header;
  std::uint8_t* out = header.bytes.data();
  std::size_t length = 0;
  for (; length < kSiteCodeBytes && length < siteCode.size(); ++length) {
    out[length] = static_cast<std::uint8_t>(siteCode[length]);
  }
  for (; length < kSiteFieldBytes; ++length) out[length] = ' ';
  if (withDate || withTime) {
    const CivilTime now = FromSeconds(std::max<std::int64_t>(localSeconds, 0));
    if (withDate) {
      // Four digits keep the header's length fixed even past year 9999.
      PutTwoDigits(out + length, now.year / 100 % 100);
      PutTwoDigits(out + length + 2, now.year % 100);
      PutTwoDigits(out + length + 4, now.month);
      PutTwoDigits(out + length + 6, now.day);
      out[length + 8] = ' ';
      length += 9;
    }
    if (withTime) {
      PutTwoDigits(out + length, now.hour);
      PutTwoDigits(out + length + 2, now.minute);
      PutTwoDigits(out + length + 4, now.second);
      out[length + 6] = ' ';
      length += 7;
    }
  }
  header.length = length;
  return header;
}

bool InsertLineHeaders(LineBuffers& buffers, std::size_t& count,
                       std::span<const std::uint8_t> header, HeaderState& headerState) {
  if (!buffers.Available()) return false;
  assert(count <= buffers.Capacity());
  buffers.Receive()[count] = 0;

  const std::size_t n = count;
  const std::uint8_t* in = buffers.Receive().data();
  // The search for line feeds ends at the first NUL of the chunk.
  const std::size_t searchEnd = Find(in, 0, n, 0);
  const std::size_t roomBytes = std::max(kHeaderRoomBytes, header.size() + 1);

  bool prefixCrLf = false;
  bool anyHeader = true;
  std::size_t read = 0;  // where the first header goes, in the chunk as it came
  switch (headerState) {
    case HeaderState::kLineStart:
      headerState = HeaderState::kContinuesLine;
      break;
    case HeaderState::kConnectionStart:
      // Data of a connection starts on a line of its own.
      if (!(in[0] == kCarriageReturn && in[1] == kLineFeed)) {
        if (n + kLineEndRoomBytes > buffers.Capacity()) {
          if (!EnsureCapacity(buffers, n + kLineEndRoomBytes)) return false;
          in = buffers.Receive().data();
        }
        prefixCrLf = true;
      }
      headerState = HeaderState::kContinuesLine;
      // The chunk now begins with CR LF; a header follows unless that is all.
      if (n + (prefixCrLf ? 2 : 0) == 2) {
        headerState = HeaderState::kLineStart;
        anyHeader = false;
      }
      read = prefixCrLf ? 0 : 2;
      break;
    case HeaderState::kContinuesLine:
    default: {
      const std::size_t lf = Find(in, 0, searchEnd, kLineFeed);
      if (lf == searchEnd) return true;
      if (lf + 1 == n) {
        headerState = HeaderState::kLineStart;
        return true;
      }
      read = lf + 1;
      break;
    }
  }

  std::uint8_t* out = buffers.Scratch().data();
  std::size_t written = 0;
  if (prefixCrLf) {
    out[written++] = kCarriageReturn;
    out[written++] = kLineFeed;
  }
  std::memcpy(out + written, in, read);
  written += read;
  while (anyHeader) {
    const std::size_t inPlaceCount = written + (n - read);
    if (inPlaceCount + roomBytes > buffers.Capacity()) {
      if (!EnsureCapacity(buffers, inPlaceCount + roomBytes)) return false;
      in = buffers.Receive().data();
      out = buffers.Scratch().data();
    }
    std::memcpy(out + written, header.data(), header.size());
    written += header.size();
    const std::size_t lf = Find(in, read, searchEnd, kLineFeed);
    if (lf == searchEnd) break;
    std::memcpy(out + written, in + read, lf + 1 - read);
    written += lf + 1 - read;
    read = lf + 1;
    // No header after the chunk's last LF: it waits for the next chunk.
    if (read == n) {
      headerState = HeaderState::kLineStart;
      break;
    }
  }
  std::memcpy(out + written, in + read, n - read);
  written += n - read;
  out[written] = 0;
  buffers.SwapReceiveAndScratch();
  count = written;
  return true;
}

namespace {

// NormalizeLineEnds and InsertLineHeaders in one pass, for the usual chunk
// that fits the buffers as they are. After normalisation every LF ends a
// CR LF pair, so a header follows each line end written, unless it ends the
// chunk or a NUL came before it. Returns false, having changed nothing, when
// either step would grow the buffers: the caller then runs the two steps.
bool NormalizeAndInsertHeaders(LineBuffers& buffers, std::size_t& count, const LineHeader& header,
                               LineProcessingState& state) {
  const std::size_t capacity = buffers.Capacity();
  const std::uint8_t* const in = buffers.Receive().data();
  std::uint8_t* const out = buffers.Scratch().data();
  const std::size_t end = count;
  std::size_t read = state.lineEndCarry != 0 && end > 0 && in[0] == state.lineEndCarry ? 1 : 0;
  if (read == end) return false;  // nothing left: the plain steps drop the chunk

  const std::size_t headerBytes = header.length;
  const std::size_t firstNul = Find(in, read, end, 0);
  std::uint32_t carry = 0;
  std::uint64_t lineEnds = 0;
  HeaderState headerState = HeaderState::kContinuesLine;
  bool prefixCrLf = false;
  bool headerAtStart = false;
  if (state.headerState == HeaderState::kLineStart) {
    headerAtStart = true;
  } else if (state.headerState == HeaderState::kConnectionStart && in[read] != kCarriageReturn &&
             in[read] != kLineFeed) {
    // A chunk that starts with a line end starts with CR LF once normalised.
    prefixCrLf = true;
    headerAtStart = true;
  }

  // Writes stay within the scratch buffer (capacity + 1 bytes); the header
  // array is copied whole whatever the header's length. Whether the plain
  // steps would have grown is checked at the end.
  const std::size_t storageBytes = capacity + 1;
  std::size_t written = 0;
  std::size_t headers = 0;
  std::size_t lineEndRoom = 0;  // the largest room NormalizeLineEnds would ask for
  if (2 + kMaxHeaderBytes > storageBytes) return false;
  if (prefixCrLf) {
    out[written++] = kCarriageReturn;
    out[written++] = kLineFeed;
  }
  if (headerAtStart) {
    std::memcpy(out + written, header.bytes.data(), kMaxHeaderBytes);
    written += headerBytes;
    ++headers;
  }
  std::size_t nextCr = Find(in, read, end, kCarriageReturn);
  std::size_t nextLf = Find(in, read, end, kLineFeed);
  for (;;) {
    if (nextCr < read) nextCr = Find(in, read, end, kCarriageReturn);
    if (nextLf < read) nextLf = Find(in, read, end, kLineFeed);
    const std::size_t lineEnd = std::min(nextCr, nextLf);
    // The segment and then the terminator, or CR LF.
    if (written + (lineEnd - read) + (lineEnd == end ? 1 : 2) > storageBytes) return false;
    std::memcpy(out + written, in + read, lineEnd - read);
    written += lineEnd - read;
    if (lineEnd == end) break;

    const std::size_t normalized = written - (prefixCrLf ? 2 : 0) - headers * headerBytes;
    lineEndRoom = normalized + (end - lineEnd) + kLineEndRoomBytes;
    ++lineEnds;
    const std::uint8_t other = in[lineEnd] == kCarriageReturn ? kLineFeed : kCarriageReturn;
    out[written++] = kCarriageReturn;
    out[written++] = kLineFeed;
    if (in[lineEnd + 1] == other) {
      read = lineEnd + 2;
    } else {
      read = lineEnd + 1;
      if (read == end) carry = other;
    }
    if (firstNul < lineEnd) continue;  // the search for LF stopped at the NUL
    if (read == end) {
      headerState = HeaderState::kLineStart;
      break;
    }
    if (written + kMaxHeaderBytes > storageBytes) return false;
    std::memcpy(out + written, header.bytes.data(), kMaxHeaderBytes);
    written += headerBytes;
    ++headers;
  }

  // Growth would have happened, in one step or the other, if any room asked
  // for exceeds the capacity.
  const std::size_t prefixBytes = prefixCrLf ? 2 : 0;
  const std::size_t normalized = written - prefixBytes - headers * headerBytes;
  // (The room for a leading CR LF is less than for the header that follows it.)
  std::size_t required = lineEndRoom;
  if (headers > 0) {
    const std::size_t headerRoom = std::max(kHeaderRoomBytes, headerBytes + 1);
    required =
        std::max(required, normalized + prefixBytes + (headers - 1) * headerBytes + headerRoom);
  }
  if (required > capacity) return false;

  out[written] = 0;
  buffers.SwapReceiveAndScratch();
  count = written;
  state.lineEndCarry = carry;
  state.lineCount += lineEnds;
  state.headerState = headerState;
  return true;
}

}  // namespace

ChunkResult ProcessChunk(LineBuffers& buffers, std::size_t count, const SiteSettings& site,
                         std::string_view siteCode, const Clock& clock,
                         LineProcessingState& state) {
  if (!buffers.Available()) return {0, true};
  assert(count <= buffers.Capacity());
  buffers.Receive()[count] = 0;
  for (const std::uint8_t byte : site.charToDel) {
    DeleteCharacter(buffers.Receive(), count, byte);
  }
  const bool correct = site.correggiCR != 0;
  if (correct && site.crlfAlternativo >= 1 && site.crlfAlternativo <= 127) {
    ReplaceAlternativeLineEnd(buffers.Receive().first(count), site.crlfAlternativo);
  }
  // One reading of the clock serves every line of the chunk.
  LineHeader header;
  if (site.lineHeader && count > 0) {
    header = MakeLineHeader(siteCode, site.aggData != 0, site.aggOra != 0, clock.Now().seconds);
    if (correct && NormalizeAndInsertHeaders(buffers, count, header, state)) return {count, false};
  }
  if (correct) {
    count = NormalizeLineEnds(buffers, count, state);
    if (!buffers.Available()) return {0, true};
  }
  if (count == 0) return {0, false};
  if (site.lineHeader && !InsertLineHeaders(buffers, count, header.View(), state.headerState)) {
    return {0, true};
  }
  return {count, false};
}

}  // namespace vr
