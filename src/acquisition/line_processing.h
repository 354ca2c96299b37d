#pragma once
// Line processing: what every chunk a device delivers goes through before it
// is stored and shown. Unwanted bytes are deleted, line ends become CR LF and
// each line gets a header with the site code and, optionally, the date and
// time of reception. A chunk may hold several lines, part of one, or half of
// a CR LF pair, so a little state is carried from chunk to chunk.
//
// Each step reads the chunk from the receive buffer once and writes its
// result into the scratch buffer, which then becomes the receive buffer: the
// work is linear in the chunk however many bytes are inserted. (When both
// line ends and headers are on and the buffers need not grow, ProcessChunk
// does the two in one pass.) The results, the carried state and the buffer
// growth are those of the plain in-place algorithm that moves the rest of
// the chunk for every inserted byte; the one difference is that where that
// algorithm grows by one read chunk, this one grows by as many as the room
// asked for needs, which differs only for read chunks under 22 bytes.
//
// The chunk is the first `count` bytes of buffers.Receive(), followed by NUL;
// every step keeps that terminator.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "acquisition/line_buffers.h"
#include "base/clock.h"
#include "config/settings.h"

namespace vr {

inline constexpr std::uint8_t kLineFeed = 10;
inline constexpr std::uint8_t kCarriageReturn = 13;

enum class HeaderState : std::int32_t {
  kContinuesLine = 0,    // the next chunk continues a line: no header at its start
  kLineStart = 1,        // the previous chunk ended with LF: header at the next chunk's start
  kConnectionStart = 2,  // set by the site worker when a connection starts
};

// Carried from chunk to chunk; part of the site worker's reception state.
struct LineProcessingState {
  // The second half (LF 10 or CR 13) of a CR LF pair that this processing
  // completed at the end of the previous chunk; dropped if the next chunk
  // starts with it. 0: nothing carried. Kept in FlagCRLF between runs.
  std::uint32_t lineEndCarry = 0;
  HeaderState headerState = HeaderState::kConnectionStart;
  // Line ends seen since the program started; shown in the window title.
  std::uint64_t lineCount = 0;
};

struct ChunkResult {
  std::size_t count = 0;  // bytes of the processed chunk; 0: nothing to store or show
  // The buffers could not grow and the receive buffer is gone: the caller
  // reports msg::kBufferAlloc (7008) and ends the connection.
  bool bufferUnavailable = false;
};

// Runs the whole pipeline on the chunk of `count` bytes (at most
// buffers.Capacity()): DeleteCharacter for each byte of site.charToDel in
// order; if site.correggiCR, ReplaceAlternativeLineEnd (when crlfAlternativo
// is 1..127) and NormalizeLineEnds; then, if bytes remain and
// site.lineHeader, InsertLineHeaders with a header made from siteCode and
// the clock, read once for the whole chunk.
ChunkResult ProcessChunk(LineBuffers& buffers, std::size_t count, const SiteSettings& site,
                         std::string_view siteCode, const Clock& clock, LineProcessingState& state);

// Removes every occurrence of `byte` from the first `count` bytes of buffer
// (which holds at least count + 1 bytes), lowers count by the number removed
// and returns the change (0 or negative). A NUL terminator follows the
// shortened chunk, also when `byte` is NUL.
std::ptrdiff_t DeleteCharacter(std::span<std::uint8_t> buffer, std::size_t& count,
                               std::uint8_t byte);

// Turns every `alternative` byte of the chunk into CR.
void ReplaceAlternativeLineEnd(std::span<std::uint8_t> chunk, std::uint8_t alternative);

// Makes every line end CR LF: CR LF stays, and a lone CR, a lone LF and LF CR
// each become CR LF. Each line end counts in state.lineCount. A chunk that
// starts with state.lineEndCarry loses that byte (the other half of a pair
// already completed); a lone CR or LF at the end of the chunk sets the carry
// to the byte that would have paired with it. Grows the buffers by read
// chunks while CR or LF finds fewer than 3 bytes of room beyond the current
// count. Returns the new count, or 0 when the buffers could not grow (the
// receive buffer is then unavailable).
std::size_t NormalizeLineEnds(LineBuffers& buffers, std::size_t count, LineProcessingState& state);

// The longest header: site code (5), date "YYYYMMDD " (9), time "hhmmss " (7).
inline constexpr std::size_t kMaxHeaderBytes = 21;

struct LineHeader {
  std::array<std::uint8_t, kMaxHeaderBytes> bytes{};
  std::size_t length = 0;
  std::span<const std::uint8_t> View() const { return {bytes.data(), length}; }
};

// The first 4 bytes of siteCode padded with blanks to 5, then, as asked,
// the local date "YYYYMMDD " and time "hhmmss " of localSeconds (seconds
// since 1601-01-01).
LineHeader MakeLineHeader(std::string_view siteCode, bool withDate, bool withTime,
                          std::int64_t localSeconds);

// Puts the header at the start of every line of the chunk: after each LF
// that is found before the first NUL and is not the chunk's last byte, and
// at position 0 when the previous chunk ended with LF (kLineStart). At a
// connection's start (kConnectionStart) the chunk is first made to begin
// with CR LF, so the first header starts a line. Updates count and
// headerState. False when the buffers could not grow (the receive buffer is
// then unavailable).
bool InsertLineHeaders(LineBuffers& buffers, std::size_t& count,
                       std::span<const std::uint8_t> header, HeaderState& headerState);

}  // namespace vr
