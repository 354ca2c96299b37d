// ProcessChunk against the plain in-place algorithm it replaces, on a stream
// and settings chosen by the fuzzer and cut into chunks at the fuzzer's
// choice: both must agree byte for byte (the terminator included), in the
// carried state, in the buffer capacity and in when growth fails.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "acquisition/line_buffers.h"
#include "acquisition/line_processing.h"
#include "base/civil_time.h"
#include "base/clock.h"
#include "config/settings.h"
#include "fuzz_check.h"
#include "support/line_processing_reference.h"

namespace {

using namespace vr;
using namespace vr::reference;

// Past this the buffers only grow further without finding anything new.
constexpr std::size_t kMaxInitialCapacity = 2400;
constexpr std::size_t kMaxReadChunk = 3000;
// Days from 1601 to about 2400, so every field of the date varies.
constexpr std::int64_t kLatestSeconds = 292000LL * kSecondsPerDay;

SiteSettings Settings(FuzzedDataProvider& in) {
  SiteSettings site;
  site.crlfAlternativo = in.ConsumeIntegral<std::uint8_t>();
  for (std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 4); n > 0; --n)
    site.charToDel.push_back(in.ConsumeIntegral<std::uint8_t>());
  site.correggiCR = in.ConsumeIntegralInRange<std::uint32_t>(0, 2);
  site.lineHeader = in.ConsumeBool();
  site.aggData = in.ConsumeIntegralInRange<std::uint32_t>(0, 1);
  site.aggOra = in.ConsumeIntegralInRange<std::uint32_t>(0, 1);
  return site;
}

void Dump(const char* what, const std::uint8_t* bytes, std::size_t size) {
  std::fprintf(stderr, "%4s:", what);
  for (std::size_t i = 0; i < size; ++i) std::fprintf(stderr, " %02x", bytes[i]);
  std::fprintf(stderr, "\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const SiteSettings site = Settings(in);
  // A site code is a section name of the configuration: text without NUL
  // (the reference reads it as a C string).
  std::string siteCode = in.ConsumeRandomLengthString(8);
  siteCode.resize(std::min(siteCode.size(), siteCode.find('\0')));
  const std::size_t initialCapacity =
      in.ConsumeIntegralInRange<std::size_t>(1, kMaxInitialCapacity);
  const std::size_t readChunk = in.ConsumeIntegralInRange<std::size_t>(0, kMaxReadChunk);
  const std::size_t maxCapacity =
      in.ConsumeBool() ? initialCapacity + in.ConsumeIntegralInRange<std::size_t>(0, 400)
                       : LineBuffers::kNoCapacityLimit;

  LineBuffers buffers(maxCapacity);
  VR_FUZZ_CHECK(buffers.Resize(initialCapacity));
  buffers.SetReadChunk(readChunk);
  RefBuffer ref(initialCapacity, readChunk, maxCapacity);

  LineProcessingState state;
  state.lineEndCarry = in.PickValueInArray<std::uint32_t>({0, kRefLf, kRefCr});
  state.headerState = in.PickValueInArray(
      {HeaderState::kContinuesLine, HeaderState::kLineStart, HeaderState::kConnectionStart});
  RefState refState;
  refState.carry = static_cast<int>(state.lineEndCarry);
  refState.headerState = static_cast<int>(state.headerState);

  // VR_FUZZ_TRACE=1 shows each chunk, for replaying an input by hand.
  const bool trace = std::getenv("VR_FUZZ_TRACE") != nullptr;
  if (trace) {
    std::fprintf(stderr, "alternative %u, delete", site.crlfAlternativo);
    for (const std::uint8_t c : site.charToDel) std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr,
                 ", line ends %u, header %d (date %u, time %u, code \"%s\"), capacity %zu, "
                 "read chunk %zu, limit %zu, carry %u, header state %d\n",
                 site.correggiCR, site.lineHeader, site.aggData, site.aggOra, siteCode.c_str(),
                 initialCapacity, readChunk, maxCapacity, state.lineEndCarry,
                 static_cast<int>(state.headerState));
  }

  ManualClock clock;
  while (in.remaining_bytes() > 0) {
    const std::size_t wanted = in.ConsumeIntegralInRange<std::size_t>(1, buffers.Capacity());
    clock.Set(in.ConsumeIntegralInRange<std::int64_t>(0, kLatestSeconds));
    const std::vector<std::uint8_t> chunk = in.ConsumeBytes<std::uint8_t>(wanted);
    if (chunk.empty()) break;
    const std::size_t length = chunk.size();
    std::memcpy(buffers.Receive().data(), chunk.data(), length);
    buffers.Receive()[length] = 0;
    std::memcpy(ref.Data(), chunk.data(), length);
    ref.Data()[length] = 0;

    const ChunkResult result = ProcessChunk(buffers, length, site, siteCode, clock, state);
    const std::size_t refCount =
        RefProcessChunk(ref, length, site, siteCode, clock.Now().seconds, refState);
    if (trace) {
      std::fprintf(stderr, "chunk of %zu: count %zu, reference %zu; capacity %zu, reference %zu\n",
                   length, result.count, refCount, buffers.Capacity(), ref.capacity);
      Dump("in", chunk.data(), length);
      Dump("out", buffers.Receive().data(), std::min(result.count + 1, buffers.Receive().size()));
      Dump("ref", ref.Data(), std::min(refCount + 1, ref.bytes.size()));
    }

    VR_FUZZ_CHECK(result.bufferUnavailable == !ref.available);
    VR_FUZZ_CHECK(state.lineEndCarry == static_cast<std::uint32_t>(refState.carry));
    VR_FUZZ_CHECK(static_cast<int>(state.headerState) == refState.headerState);
    VR_FUZZ_CHECK(state.lineCount == refState.lines);
    if (result.bufferUnavailable) {
      VR_FUZZ_CHECK(!buffers.Available());
      break;
    }
    VR_FUZZ_CHECK(result.count == refCount);
    VR_FUZZ_CHECK(buffers.Capacity() == ref.capacity);
    VR_FUZZ_CHECK(buffers.Receive().size() == buffers.Capacity() + 1);
    VR_FUZZ_CHECK(buffers.Display().size() == buffers.Receive().size());
    VR_FUZZ_CHECK(std::equal(ref.Data(), ref.Data() + refCount + 1, buffers.Receive().data()));
  }
  return 0;
}
