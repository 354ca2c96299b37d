// Pour-back of a 256 MiB overflow file into its data file, beside plain
// copies of the same file in the same run. Goal: the pour-back within 1.5x of
// the plain copy flushed to the disk (BM_PlainCopySyncEmpty).
//
//   BM_PlainCopyFileRange  the copy as cp makes it (copy_file_range)
//   BM_PlainReadWriteCopy  the copy through user space, 128 KiB or 120000 B
//   BM_PlainCopyThenEmpty  cp, then the source cut to 0 bytes: what a
//                          pour-back does, with plain tools
//   BM_PlainCopySyncEmpty  the same with the copy and the cut flushed to the
//                          disk, as the pour-back does so that a power cut
//                          cannot take them: its fair comparison
//   BM_PourBack            WriteRecords on a pending set: the overflow file
//                          back in 120000-byte blocks, emptied, one record
//   BM_MergeOverflowFile   the worker's merge turn, the same move
//   BM_StoreChunk          StoreChunk of one 2400-byte chunk into a site's
//                          three data files, with Sincronizza off (0) and on
//                          (1): what flushing each chunk costs
//
// Files live in a temporary directory on disk, removed at exit. Linux only
// (copy_file_range).

#ifdef __linux__

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/flags.h"
#include "base/notifier.h"
#include "config/settings.h"
#include "storage/data_files.h"
#include "storage/file_system.h"
#include "storage/merge.h"

namespace vr {
namespace {

constexpr std::int64_t kOverflowBytes = std::int64_t{256} << 20;

class QuietNotifier final : public Notifier {
 public:
  void Post(Message, std::uint32_t, std::string) override {}
  void Send(Message, std::uint32_t, std::string) override {}
};

// The 256 MiB source, written once per run, and the files the cases fill.
class BenchFiles {
 public:
  BenchFiles() {
    dir_ = std::filesystem::temp_directory_path() / ("vesper-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    std::ofstream out(Source(), std::ios::binary);
    std::vector<char> block(1 << 20);
    std::uint32_t state = 1;
    for (std::int64_t written = 0; written < kOverflowBytes;
         written += static_cast<std::int64_t>(block.size())) {
      for (char& c : block) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
      }
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    std::ofstream(Data(), std::ios::binary);
  }
  ~BenchFiles() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  BenchFiles(const BenchFiles&) = delete;
  BenchFiles& operator=(const BenchFiles&) = delete;

  std::string Source() const { return (dir_ / "SOURCE.TXT").string(); }
  std::string Data() const { return (dir_ / "DATI.TXT").string(); }
  std::string Overflow() const { return (dir_ / "S1DATI_D.TXT").string(); }
  std::string Copy() const { return (dir_ / "COPIA.TXT").string(); }

 private:
  std::filesystem::path dir_;
};

BenchFiles& Files() {
  static BenchFiles files;
  return files;
}

// The file at to becomes an empty file, or a copy of from, made in the kernel.
bool KernelCopy(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = in >= 0 && out >= 0;
  while (ok) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (copied <= 0) {
      ok = copied == 0;
      break;
    }
  }
  if (in >= 0) ::close(in);
  if (out >= 0) ::close(out);
  return ok;
}

bool ReadWriteCopy(const std::string& from, const std::string& to, std::size_t blockBytes) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = in >= 0 && out >= 0;
  std::vector<char> block(blockBytes);
  while (ok) {
    const ssize_t got = ::read(in, block.data(), block.size());
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    ok = ::write(out, block.data(), static_cast<std::size_t>(got)) == got;
  }
  if (in >= 0) ::close(in);
  if (out >= 0) ::close(out);
  return ok;
}

// Every case starts from the same state: the overflow file full and written
// back (a file parked while the importer worked has long reached the disk
// when it is poured back), the data file empty, no copy left from before, and
// no writeback of an earlier case still running.
void Prepare(benchmark::State& state) {
  BenchFiles& files = Files();
  if (!KernelCopy(files.Source(), files.Overflow())) state.SkipWithError("cannot fill overflow");
  std::filesystem::resize_file(files.Data(), 0);
  std::filesystem::remove(files.Copy());
  ::sync();
}

struct Storage {
  NativeFileSystem fileSystem;
  QuietNotifier notifier;
  ProcessFlags flags;
  SystemClock clock;
  StorageContext context{fileSystem, notifier, flags, clock};
};

// WriteRecords finding the set pending: the whole overflow file goes back
// into the data file, the overflow file is emptied, one record follows.
void BM_PourBack(benchmark::State& state) {
  BenchFiles& files = Files();
  Storage storage;
  const std::string record = "S1   20240105 101500 0123456789 ABCDEFGHIJ\r\n";
  const std::span<const std::uint8_t> chunk(reinterpret_cast<const std::uint8_t*>(record.data()),
                                            record.size());
  for (auto _ : state) {
    state.PauseTiming();
    Prepare(state);
    DataFileSet set;
    set.overflowPending = true;
    state.ResumeTiming();
    if (WriteRecords(storage.context, files.Data(), files.Overflow(), set, chunk) != 0)
      state.SkipWithError("the pour-back did not complete");
  }
  state.SetBytesProcessed(state.iterations() * kOverflowBytes);
}

// The worker's merge turn: the same move without a new record.
void BM_MergeOverflowFile(benchmark::State& state) {
  BenchFiles& files = Files();
  Storage storage;
  for (auto _ : state) {
    state.PauseTiming();
    Prepare(state);
    DataFileSet set;
    state.ResumeTiming();
    MergeOverflowFile(storage.context, files.Overflow(), files.Data(), set);
  }
  if (std::filesystem::file_size(files.Data()) != static_cast<std::uintmax_t>(kOverflowBytes))
    state.SkipWithError("the merge did not complete");
  state.SetBytesProcessed(state.iterations() * kOverflowBytes);
}

// The plain copy of the same overflow file, as cp makes it.
void BM_PlainCopyFileRange(benchmark::State& state) {
  BenchFiles& files = Files();
  for (auto _ : state) {
    state.PauseTiming();
    Prepare(state);
    state.ResumeTiming();
    if (!KernelCopy(files.Overflow(), files.Copy())) state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(state.iterations() * kOverflowBytes);
}

// The plain copy through user space, in blocks of state.range(0) bytes: 128
// KiB as cp did before copy_file_range, 120000 as the pour-back reads.
void BM_PlainReadWriteCopy(benchmark::State& state) {
  BenchFiles& files = Files();
  const auto blockBytes = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    Prepare(state);
    state.ResumeTiming();
    if (!ReadWriteCopy(files.Overflow(), files.Copy(), blockBytes))
      state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(state.iterations() * kOverflowBytes);
}

// What a pour-back does, with plain tools: cp, then empty the source.
void BM_PlainCopyThenEmpty(benchmark::State& state) {
  BenchFiles& files = Files();
  for (auto _ : state) {
    state.PauseTiming();
    Prepare(state);
    state.ResumeTiming();
    if (!KernelCopy(files.Overflow(), files.Copy())) state.SkipWithError("copy failed");
    std::filesystem::resize_file(files.Overflow(), 0);
  }
  state.SetBytesProcessed(state.iterations() * kOverflowBytes);
}

// The time of one stored chunk: the three data files free, each chunk
// appended to all three (and, with Sincronizza, flushed in each), as the
// worker does between holding and releasing the exchange.
void BM_StoreChunk(benchmark::State& state) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vesper-store-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  SiteSettings site;
  site.dati = (dir / "D1.TXT").string();
  site.datiOverflow = (dir / "S1D1_D.TXT").string();
  site.dati2 = (dir / "D2.TXT").string();
  site.dati2Overflow = (dir / "S1D2_B.TXT").string();
  site.storico = (dir / "ST.TXT").string();
  site.storicoOverflow = (dir / "S1ST_S.TXT").string();
  site.sincronizza = state.range(0) != 0;
  Storage storage;
  StorageState storageState;
  if (!PrepareSiteDataFiles(storage.context, site, storageState))
    state.SkipWithError("cannot prepare the data files");
  std::vector<std::uint8_t> chunk(2400);
  for (std::size_t i = 0; i < chunk.size(); ++i)
    chunk[i] = static_cast<std::uint8_t>(i % 80 == 79 ? '\n' : 'A' + i % 26);
  ::sync();
  for (auto _ : state) StoreChunk(storage.context, site, storageState, chunk);
  if (std::filesystem::file_size(site.storico) !=
      static_cast<std::uintmax_t>(state.iterations()) * chunk.size())
    state.SkipWithError("a chunk did not reach the history file");
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(chunk.size()));
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

// cp, fdatasync of the copy, the source emptied and that flushed too.
void BM_PlainCopySyncEmpty(benchmark::State& state) {
  BenchFiles& files = Files();
  for (auto _ : state) {
    state.PauseTiming();
    Prepare(state);
    state.ResumeTiming();
    if (!KernelCopy(files.Overflow(), files.Copy())) state.SkipWithError("copy failed");
    const int copy = ::open(files.Copy().c_str(), O_WRONLY | O_CLOEXEC);
    const int source = ::open(files.Overflow().c_str(), O_WRONLY | O_CLOEXEC);
    if (copy < 0 || source < 0 || ::fdatasync(copy) != 0 || ::ftruncate(source, 0) != 0 ||
        ::fdatasync(source) != 0)
      state.SkipWithError("flush failed");
    if (copy >= 0) ::close(copy);
    if (source >= 0) ::close(source);
  }
  state.SetBytesProcessed(state.iterations() * kOverflowBytes);
}

// A few repetitions each: the machine is shared, so compare medians and the
// fastest repetition ("min"; for the bytes_per_second counter it is the
// slowest rate instead).
double Fastest(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

constexpr int kIterations = 4;
constexpr int kRepetitions = 5;

BENCHMARK(BM_PlainCopyFileRange)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kIterations)
    ->Repetitions(kRepetitions)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_PlainReadWriteCopy)
    ->Arg(131072)
    ->Arg(120000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kIterations)
    ->Repetitions(kRepetitions)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_PlainCopyThenEmpty)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kIterations)
    ->Repetitions(kRepetitions)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_PlainCopySyncEmpty)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kIterations)
    ->Repetitions(kRepetitions)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_PourBack)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kIterations)
    ->Repetitions(kRepetitions)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_MergeOverflowFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kIterations)
    ->Repetitions(kRepetitions)
    ->ComputeStatistics("min", Fastest);

BENCHMARK(BM_StoreChunk)
    ->ArgName("Sincronizza")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(2000)
    ->Repetitions(kRepetitions)
    ->ComputeStatistics("min", Fastest);

}  // namespace
}  // namespace vr

#endif  // __linux__
