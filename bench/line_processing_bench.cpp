// Line processing of call records beside a plain copy of the same bytes.
// Processing must cost the same per byte at every chunk size (it is linear
// in the chunk) and stay within 10x of memcpy.
//
// Each processing iteration first copies the chunk into the receive buffer,
// as a read would, since processing consumes it; that copy is part of the
// figure.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "acquisition/line_buffers.h"
#include "acquisition/line_processing.h"
#include "base/civil_time.h"
#include "base/clock.h"
#include "config/settings.h"

namespace {

constexpr std::size_t kLineBytes = 80;

// Records as an exchange prints them: 79 characters and CR.
std::vector<std::uint8_t> CallRecords(std::size_t bytes) {
  std::vector<std::uint8_t> records;
  records.reserve(bytes + kLineBytes);
  char line[160];
  for (unsigned n = 0; records.size() < bytes; ++n) {
    // Date, time, duration, extension, dialled number, trunk; blanks to 79.
    std::memset(line, ' ', sizeof line);
    const int length =
        std::snprintf(line, sizeof line, "%02u/%02u/24 %02u:%02u %02u:%02u:%02u %-6u %-14u %s",
                      n % 28 + 1, n % 12 + 1, n % 24, n % 60, n % 3, n % 60, (n * 7) % 60,
                      200 + n % 300, 212345000u + n * 37u, "LINEA ESTERNA 04");
    line[length] = ' ';
    line[kLineBytes - 1] = '\r';
    records.insert(records.end(), line, line + kLineBytes);
  }
  records.resize(bytes);
  return records;
}

void BM_ProcessChunk(benchmark::State& state) {
  const auto chunkBytes = static_cast<std::size_t>(state.range(0));
  const std::vector<std::uint8_t> input = CallRecords(chunkBytes);
  vr::LineBuffers buffers;
  if (!buffers.Resize(chunkBytes)) {
    state.SkipWithError("no buffers");
    return;
  }
  vr::SiteSettings site;
  site.correggiCR = 1;
  site.lineHeader = true;
  site.aggData = 1;
  site.aggOra = 1;
  vr::CivilTime when;
  when.year = 2024;
  when.month = 5;
  when.day = 17;
  when.hour = 9;
  const vr::ManualClock clock(vr::ToSeconds(when));
  vr::LineProcessingState lineState;
  std::size_t outputBytes = 0;
  for (auto _ : state) {
    std::memcpy(buffers.Receive().data(), input.data(), chunkBytes);
    const vr::ChunkResult result =
        vr::ProcessChunk(buffers, chunkBytes, site, "MI01", clock, lineState);
    outputBytes = result.count;
    benchmark::DoNotOptimize(buffers.Receive().data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunkBytes));
  state.counters["out_per_in"] = static_cast<double>(outputBytes) / static_cast<double>(chunkBytes);
}

void BM_Memcpy(benchmark::State& state) {
  const auto chunkBytes = static_cast<std::size_t>(state.range(0));
  const std::vector<std::uint8_t> input = CallRecords(chunkBytes);
  std::vector<std::uint8_t> output(chunkBytes + 1);
  for (auto _ : state) {
    std::memcpy(output.data(), input.data(), chunkBytes);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunkBytes));
}

BENCHMARK(BM_ProcessChunk)->Arg(2400)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Memcpy)->Arg(2400)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace
