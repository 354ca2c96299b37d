#pragma once
// NUL discarding (the fNull bit of the port settings), done by the line after
// each read where the driver does not do it itself.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vr {

// Moves the bytes other than 0 to the front, in order; returns how many.
inline std::size_t DiscardNul(std::span<std::uint8_t> bytes) {
  const auto end = std::remove(bytes.begin(), bytes.end(), std::uint8_t{0});
  return static_cast<std::size_t>(end - bytes.begin());
}

}  // namespace vr
