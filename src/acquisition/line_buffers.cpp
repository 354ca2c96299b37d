#include "acquisition/line_buffers.h"

#include <exception>
#include <utility>

namespace vr {

LineBuffers::LineBuffers(std::size_t maxCapacityBytes) : maxCapacityBytes_(maxCapacityBytes) {
  SetCapacity(kInitialCapacityBytes);
}

bool LineBuffers::Resize(std::size_t readChunkBytes) {
  readChunkBytes_ = readChunkBytes;
  if (readChunkBytes == 0) {
    MakeUnavailable();
    return false;
  }
  return SetCapacity(readChunkBytes);
}

bool LineBuffers::GrowLineBuffers() {
  // Without a read chunk there is no step to grow by; an overflowing sum is
  // as impossible to allocate as a huge one.
  if (!available_ || readChunkBytes_ == 0 || readChunkBytes_ > maxCapacityBytes_ - capacityBytes_) {
    MakeUnavailable();
    return false;
  }
  return SetCapacity(capacityBytes_ + readChunkBytes_);
}

bool LineBuffers::SetCapacity(std::size_t capacityBytes) {
  if (capacityBytes > maxCapacityBytes_ || capacityBytes == kNoCapacityLimit) {
    MakeUnavailable();
    return false;
  }
  // resize keeps the content and zero-fills what it adds; on failure it
  // leaves the vector as it was, so the display buffer keeps its old size.
  try {
    receive_.resize(capacityBytes + 1);
    display_.resize(capacityBytes + 1);
    scratch_.resize(capacityBytes + 1);
  } catch (const std::exception&) {
    MakeUnavailable();
    return false;
  }
  capacityBytes_ = capacityBytes;
  available_ = true;
  return true;
}

void LineBuffers::MakeUnavailable() {
  available_ = false;
  capacityBytes_ = 0;
  std::vector<std::uint8_t>().swap(receive_);
  std::vector<std::uint8_t>().swap(scratch_);
}

}  // namespace vr
