#pragma once
// The plain in-place line processing that ProcessChunk replaces: every
// inserted byte moves the rest of the chunk, the buffer grows by one read
// chunk whenever the room check fails, and line feeds are found with strchr.
// Kept apart from the optimised code so that tests and the fuzzer can check
// ProcessChunk against it byte for byte, in the carried state and in the
// buffer capacity.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/civil_time.h"
#include "config/settings.h"

namespace vr::reference {

inline constexpr unsigned char kRefCr = 13;
inline constexpr unsigned char kRefLf = 10;

// The receive buffer of the in-place algorithm: capacity bytes plus one for
// the terminator of a full chunk, grown by readChunk up to maxCapacity.
struct RefBuffer {
  RefBuffer() = default;
  // Zero-filled, as the line buffers start.
  RefBuffer(std::size_t capacityBytes, std::size_t readChunkBytes, std::size_t maxCapacityBytes)
      : bytes(capacityBytes + 1, 0),
        capacity(capacityBytes),
        readChunk(readChunkBytes),
        maxCapacity(maxCapacityBytes) {}

  std::vector<unsigned char> bytes;
  std::size_t capacity = 0;
  std::size_t readChunk = 0;
  std::size_t maxCapacity = 0;
  bool available = true;

  unsigned char* Data() { return bytes.data(); }

  bool Grow() {
    if (!available || readChunk == 0 || capacity + readChunk > maxCapacity) {
      available = false;
      return false;
    }
    capacity += readChunk;
    bytes.resize(capacity + 1, 0);
    return true;
  }
  // One growth, repeated while one read chunk is less than the room asked for.
  bool Room(std::size_t required) {
    while (capacity < required) {
      if (!Grow()) return false;
    }
    return true;
  }
};

struct RefState {
  int carry = 0;
  int headerState = 2;
  std::uint64_t lines = 0;
};

inline int RefDeleteCharacter(RefBuffer& buffer, std::size_t& count, unsigned char c) {
  unsigned char* buf = buffer.Data();
  std::size_t removed = 0;
  for (std::size_t i = 0; i <= count; ++i) {
    if (buf[i] == c) {
      ++removed;
    } else {
      buf[i - removed] = buf[i];
    }
  }
  if (c == 0) {
    // The terminator was among the NULs removed: count it back and put it back.
    --removed;
    buf[count - removed] = 0;
  }
  count -= removed;
  return -static_cast<int>(removed);
}

inline void RefReplaceAlternativeLineEnd(RefBuffer& buffer, std::size_t count, unsigned char alt) {
  for (std::size_t i = 0; i < count; ++i) {
    if (buffer.Data()[i] == alt) buffer.Data()[i] = kRefCr;
  }
}

// Inserts LF at i + 1, moving bytes i + 1 .. n (the terminator included).
inline void RefInsertLf(unsigned char* buf, std::size_t i, std::size_t& n) {
  std::memmove(buf + i + 2, buf + i + 1, n - i);
  buf[i + 1] = kRefLf;
  ++n;
}

inline std::size_t RefNormalizeLineEnds(RefBuffer& buffer, std::size_t n, RefState& state) {
  if (state.carry != 0) {
    if (buffer.Data()[0] == state.carry) {
      std::memmove(buffer.Data(), buffer.Data() + 1, n);
      --n;
    }
    state.carry = 0;
  }
  if (n == 0) return 0;
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = buffer.Data()[i];
    if (c != kRefCr && c != kRefLf) {
      ++i;
      continue;
    }
    if (n + 3 > buffer.capacity && !buffer.Room(n + 3)) return 0;
    unsigned char* buf = buffer.Data();
    ++state.lines;
    if (c == kRefLf) {
      buf[i] = kRefCr;
      if (buf[i + 1] == kRefCr) {
        buf[i + 1] = kRefLf;
      } else {
        RefInsertLf(buf, i, n);
        if (i + 2 == n) state.carry = kRefCr;
      }
    } else if (buf[i + 1] != kRefLf) {
      RefInsertLf(buf, i, n);
      if (i + 2 == n) state.carry = kRefLf;
    }
    i += 2;
  }
  return n;
}

// Returns false when the buffer became unavailable.
inline bool RefInsertLineHeaders(RefBuffer& buffer, std::size_t& count, const std::string& header,
                                 RefState& state) {
  const std::size_t length = header.size();
  std::size_t pos = 0;
  switch (state.headerState) {
    case 1:
      state.headerState = 0;
      break;
    case 2:
      if (!(buffer.Data()[0] == kRefCr && buffer.Data()[1] == kRefLf)) {
        if (count + 3 > buffer.capacity && !buffer.Room(count + 3)) return false;
        std::memmove(buffer.Data() + 2, buffer.Data(), count + 1);
        buffer.Data()[0] = kRefCr;
        buffer.Data()[1] = kRefLf;
        count += 2;
      }
      state.headerState = 0;
      [[fallthrough]];
    default: {
      const char* text = reinterpret_cast<const char*>(buffer.Data());
      const char* lf = std::strchr(text, '\n');
      if (lf == nullptr) return true;
      const auto at = static_cast<std::size_t>(lf - text);
      if (at == count - 1) {
        state.headerState = 1;
        return true;
      }
      pos = at + 1;
    }
  }
  for (;;) {
    if (count + 22 > buffer.capacity && !buffer.Room(count + 22)) return false;
    unsigned char* buf = buffer.Data();
    std::memmove(buf + pos + length, buf + pos, count - pos + 1);
    std::memcpy(buf + pos, header.data(), length);
    count += length;
    const char* text = reinterpret_cast<const char*>(buf);
    const char* lf = std::strchr(text + pos + length, '\n');
    if (lf == nullptr) return true;
    const auto at = static_cast<std::size_t>(lf - text);
    if (at == count - 1) {
      state.headerState = 1;
      return true;
    }
    pos = at + 1;
  }
}

inline std::string RefHeader(const std::string& siteCode, bool withDate, bool withTime,
                             std::int64_t seconds) {
  char text[64];
  const CivilTime t = FromSeconds(seconds);
  int length = std::snprintf(text, sizeof text, "%-5.4s", siteCode.c_str());
  if (withDate) {
    length +=
        std::snprintf(text + length, sizeof text - length, "%04d%02d%02d ", t.year, t.month, t.day);
  }
  if (withTime) {
    length += std::snprintf(text + length, sizeof text - length, "%02d%02d%02d ", t.hour, t.minute,
                            t.second);
  }
  return std::string(text, static_cast<std::size_t>(length));
}

// Returns the new count; buffer.available tells whether the caller must stop.
inline std::size_t RefProcessChunk(RefBuffer& buffer, std::size_t count, const SiteSettings& site,
                                   const std::string& siteCode, std::int64_t seconds,
                                   RefState& state) {
  for (const std::uint8_t c : site.charToDel) RefDeleteCharacter(buffer, count, c);
  if (site.correggiCR != 0) {
    if (site.crlfAlternativo >= 1 && site.crlfAlternativo <= 127) {
      RefReplaceAlternativeLineEnd(buffer, count, site.crlfAlternativo);
    }
    count = RefNormalizeLineEnds(buffer, count, state);
    if (!buffer.available) return 0;
  }
  if (count == 0) return 0;
  if (site.lineHeader) {
    const std::string header = RefHeader(siteCode, site.aggData != 0, site.aggOra != 0, seconds);
    RefInsertLineHeaders(buffer, count, header, state);
  }
  return count;
}

}  // namespace vr::reference
