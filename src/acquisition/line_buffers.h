#pragma once
// The receive buffer, into which the site worker reads each chunk and where
// line processing works, and the display buffer, into which the main window
// reads each processed chunk from the display pipe. Both have one capacity:
// the display buffer can always take any chunk the receive buffer held.
//
// A third buffer of the same capacity, the scratch buffer, lets line
// processing write its result in one pass and then exchange it with the
// receive buffer instead of moving the tail of the chunk for every byte it
// inserts.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace vr {

class LineBuffers {
 public:
  // The capacity before the first line is opened.
  static constexpr std::size_t kInitialCapacityBytes = 8192;
  static constexpr std::size_t kNoCapacityLimit = std::numeric_limits<std::size_t>::max();

  // Allocates the buffers with kInitialCapacityBytes and a read chunk of the same size.
  // Any capacity above maxCapacityBytes is refused as if memory had run out,
  // so that tests can make growth fail.
  explicit LineBuffers(std::size_t maxCapacityBytes = kNoCapacityLimit);

  // Sets the read chunk and gives the buffers a capacity of one read chunk
  // (content up to the smaller capacity kept, added bytes zero). Done each
  // time a line is opened; makes an unavailable receive buffer available
  // again when it succeeds. False (and the receive buffer unavailable) when
  // the memory cannot be had or readChunkBytes is 0.
  bool Resize(std::size_t readChunkBytes);

  // Changes only the step of GrowLineBuffers (a call-log record longer than
  // the buffers sets it to what it lacks).
  void SetReadChunk(std::size_t readChunkBytes) { readChunkBytes_ = readChunkBytes; }

  // Enlarges all buffers by one read chunk, keeping their content and zeroing
  // the added bytes. On failure the receive buffer becomes unavailable; the
  // display buffer keeps its old capacity, which already holds every chunk
  // processed so far.
  bool GrowLineBuffers();

  bool Available() const { return available_; }
  // Capacity of the receive buffer; 0 while it is unavailable.
  std::size_t Capacity() const { return available_ ? capacityBytes_ : 0; }
  std::size_t ReadChunk() const { return readChunkBytes_; }

  // Capacity() + 1 bytes: a chunk of up to Capacity() bytes and the NUL that
  // follows it. A full read still leaves room for that NUL. Line processing
  // may exchange the storage behind it, so spans taken earlier go stale.
  std::span<std::uint8_t> Receive() { return Storage(receive_); }
  std::span<const std::uint8_t> Receive() const { return {receive_.data(), receive_.size()}; }
  // Display capacity + 1 bytes; equal to Receive().size() while available.
  std::span<std::uint8_t> Display() { return Storage(display_); }

  // Line processing's second buffer; same size as Receive().
  std::span<std::uint8_t> Scratch() { return Storage(scratch_); }
  // Makes the scratch buffer's content the receive buffer's, in constant time.
  void SwapReceiveAndScratch() { receive_.swap(scratch_); }

 private:
  static std::span<std::uint8_t> Storage(std::vector<std::uint8_t>& bytes) {
    return {bytes.data(), bytes.size()};
  }
  // Gives every buffer capacityBytes (+1 for the terminator) or marks the
  // receive buffer unavailable.
  bool SetCapacity(std::size_t capacityBytes);
  void MakeUnavailable();

  std::size_t maxCapacityBytes_;
  std::size_t capacityBytes_ = 0;
  std::size_t readChunkBytes_ = kInitialCapacityBytes;
  bool available_ = false;
  std::vector<std::uint8_t> receive_;
  std::vector<std::uint8_t> display_;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace vr
