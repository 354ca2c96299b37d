#pragma once
// The Kestrel call buffer box, PC side: the one-byte commands and their
// echoes, the block receiver with its additive checksum and acknowledge, and
// the reading of the box's status replies.
//
// KSTA, KSTB and KSTC send terminated blocks: the text, the echo 0x13 of the
// PC's hold, one checksum byte. KSTD sends counted blocks: a two-byte length
// N (high byte first), N bytes, one checksum byte.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "line/line.h"

namespace vr {

namespace box {
inline constexpr std::uint8_t kResume = 0x11;         // let the box send (KSTD: next block)
inline constexpr std::uint8_t kStatusRequest = 0x02;  // resume, answered with the status text
inline constexpr std::uint8_t kHold = 0x13;           // stop sending
inline constexpr std::uint8_t kAcknowledge = 0x17;    // the block was good

// N + 1 of a counted block lies in this range.
inline constexpr std::size_t kMinCountedFrame = 2;
inline constexpr std::size_t kMaxCountedFrame = 4097;
// The length of a KSTD status reply.
inline constexpr std::size_t kKstdStatusBytes = 39;
// The hold command gives up on its echo after this many reads, and writes
// the command again at every this-many-th read.
inline constexpr int kHoldEchoReads = 9999;
inline constexpr int kHoldResendEvery = 50;
// A terminated block longer than this is refused: a far end that sends for
// ever without its end byte must not take all memory.
inline constexpr std::size_t kMaxTerminatedBlockBytes = std::size_t{1} << 20;
}  // namespace box

// The sum of the bytes modulo 256.
std::uint8_t AdditiveChecksum(std::span<const std::uint8_t> bytes);

// The resume command (0x11, or 0x02 when statusForm): true when the box
// echoed it. A second try reads one more byte, writing the command again only
// when the first write transferred nothing.
bool SendResumeCommand(Line& line, bool statusForm);

// The hold command (0x13). Without waitEcho it succeeds once written. With
// it, single bytes are read until the echo 0x13; a read without a byte fails
// it; at every 50th read the byte is disregarded and 0x13 written again; it
// fails after 9999 reads.
bool SendHoldCommand(Line& line, bool waitEcho);

// Writes 0x17 and reads up to two single bytes for its echo.
bool AcknowledgeBlock(Line& line);

// The receive buffer as the block receiver sees it: its bytes (the whole
// capacity) and a way to make it larger, which may move it.
class BlockBuffer {
 public:
  virtual ~BlockBuffer() = default;
  virtual std::span<std::uint8_t> Bytes() = 0;
  // False when it cannot grow.
  virtual bool Grow() = 0;
};

// A BlockBuffer over a vector that grows by a fixed step, up to a limit.
class VectorBlockBuffer final : public BlockBuffer {
 public:
  VectorBlockBuffer(std::vector<std::uint8_t>& bytes, std::size_t stepBytes,
                    std::size_t maxBytes = SIZE_MAX)
      : bytes_(bytes), stepBytes_(stepBytes), maxBytes_(maxBytes) {}
  std::span<std::uint8_t> Bytes() override { return bytes_; }
  bool Grow() override {
    if (stepBytes_ == 0 || bytes_.size() + stepBytes_ > maxBytes_) return false;
    bytes_.resize(bytes_.size() + stepBytes_);
    return true;
  }

 private:
  std::vector<std::uint8_t>& bytes_;
  std::size_t stepBytes_;
  std::size_t maxBytes_;
};

// Completes the block whose first count bytes are already in the buffer,
// checks it and acknowledges it. counted selects the KSTD form, with expected
// the block's N + 1. Results: 0 (count is now the text length, the buffer
// holds only the text, followed by a NUL), 7008 (the buffer could not grow),
// 9003 (a terminated block without 0x13 and checksum, or longer than
// kMaxTerminatedBlockBytes), 9004 (checksum wrong, or no echo of the
// acknowledge), 9006 (a counted block ended short). When stop (StopFlag) is
// set while the block is read, it is given up unacknowledged (9003 or 9006).
int ReceiveBlock(Line& line, BlockBuffer& buffer, std::size_t& count, bool counted,
                 std::size_t expected, const std::atomic<bool>* stop = nullptr);

// What a status reply says.
struct StatusReading {
  bool numberRead = false;  // a number was read: the reply counts as an answer
  bool mayEnd = false;      // the box is empty enough for the connection to end
};

// A KSTD status reply (the bytes read, up to 39): a text of at most 14
// characters lets the connection go on; otherwise characters 8 to 14 hold a
// number, below 20480 when the connection may end.
StatusReading ReadKstdStatus(std::span<const std::uint8_t> reply);

// A KSTA/KSTB/KSTC status reply and the checksum byte read after it (none
// when nothing came). Without a matching checksum the connection goes on;
// otherwise characters 10 and 11 hold a number, below 1 when it may end.
StatusReading ReadBoxStatus(std::span<const std::uint8_t> reply,
                            std::optional<std::uint8_t> checksum);

}  // namespace vr
