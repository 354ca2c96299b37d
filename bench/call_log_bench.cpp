// Call records per second from the call-log library's callback into a
// site's three data files, beside the same appends without the recorder, in
// one run.
//
//   BM_CallLogToFiles   the benchmark's thread plays the library: it calls
//                       CallLogEvent with a batch of 80-byte records; a site
//                       worker in an AVAYA run takes them over, processes
//                       each (headers with date and time, CR LF) and stores
//                       it in dati, dati2 and storico (open, append, close
//                       each); the batch counts when the last is stored
//   BM_PlainAppends     the same stored lines appended to three files, each
//                       opened, appended and closed per record, without the
//                       recorder
//
// Files live in a temporary directory on disk, removed at exit.

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "acquisition/site_worker.h"
#include "app/configuration.h"
#include "config/reporter.h"
#include "devices/call_log.h"
#include "storage/file_system.h"

namespace vr {
namespace {

constexpr int kBatch = 1000;
const std::string kRecord =
    "14/03/24 08:16:15  EXT 2240  TRK 21  406            00:27:58    29  EUR   3.48";

// Counts the records the worker has stored (one display per record).
class CountingNotifier final : public Notifier {
 public:
  void Post(Message message, std::uint32_t, std::string text) override {
    if (message != Message::kDisplay || text.find("EXT") == std::string::npos) return;
    std::lock_guard lock(mutex_);
    ++stored_;
    changed_.notify_all();
  }
  void Send(Message, std::uint32_t, std::string) override {}
  void WaitFor(std::uint64_t stored) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stored_ >= stored; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t stored_ = 0;
};

class NoDisplay final : public IconDisplay {
 public:
  void ShowIcon(TrayIcon) override {}
};

std::int32_t VR_DEVLINK_CALL BenchOpen(std::int32_t, const char*, const char*, const char*,
                                       const char*, COMMSEVENT) {
  return 0;
}
std::atomic<bool> g_registered{false};
std::int32_t VR_DEVLINK_CALL BenchRegister(std::int32_t, CALLLOGEVENT) {
  g_registered = true;
  return 0;
}
std::int32_t VR_DEVLINK_CALL BenchClose(std::int32_t) { return 0; }

std::filesystem::path BenchDir(const char* name) {
  const auto dir = std::filesystem::temp_directory_path() /
                   (std::string("vesper-bench-") + name + "-" + std::to_string(std::rand()));
  std::filesystem::create_directories(dir);
  return dir;
}

void BM_CallLogToFiles(benchmark::State& state) {
  const std::filesystem::path dir = BenchDir("calllog");
  {
    std::ofstream ini(dir / "VESPREC.INI", std::ios::binary);
    ini << "[General]\r\nCom=bench\r\nLog=" << (dir / "vrec.log").string()
        << "\r\n[0001]\r\nOgni=3600\r\nSitoAbilitato=1\r\nRicorrenza=0\r\nOra=10.00 01-01-2010p\r\n"
           "Dispositivo=AVAYA\r\nIndirizzoIP=bench:1\r\nPassword=x\r\nDati="
        << (dir / "dati.txt").string() << "\r\nDati2=" << (dir / "dati2.txt").string()
        << "\r\nStorico=" << (dir / "storico.txt").string()
        << "\r\nAggData=1\r\nAggOra=1\r\nEliminaNull=0\r\nCorreggiCR=1\r\nFlagCRLF=0\r\n"
           "Importazione=2\r\nSTimeRead=10\r\nSTimeWrite=10\r\nMTimeRead=10\r\nMTimeWrite=10\r\n"
           "FileTimeout=60\r\nSpazioTimeout=0\r\nModem=0\r\nBaud=9600\r\nBitDati=8\r\n"
           "Parita=N\r\nStop=1\r\nHandshake=XON\r\nXon=17\r\nXoff=19\r\nTimeoutFineImp=5\r\n";
  }
  SystemClock clock;
  Profile profile((dir / "VESPREC.INI").string());
  Configuration config;
  CollectingReporter reporter;
  if (!LoadConfiguration(profile, config, reporter, clock)) {
    state.SkipWithError("configuration");
    return;
  }
  SystemWakeSignal wake;
  WorkerMailbox mailbox(wake);
  ProcessFlags flags;
  CountingNotifier notifier;
  NoDisplay display;
  NativeFileSystem files;
  WorkerEnvironment env{config.sites, config.menu, profile, dir.string(), "bench", "", false,
                        flags, notifier, display, clock, mailbox, files, nullptr, nullptr, nullptr};
  env.loadDevLink = [] {
    return DevLinkLibrary{DevLinkLibrary::Status::kLoaded, BenchOpen, BenchRegister, BenchClose};
  };
  SiteWorker worker(env);
  g_registered = false;  // the benchmark may run this function more than once
  std::thread thread([&] { worker.Run(); });
  // Records handed over before the run has registered would be dropped.
  while (!g_registered) std::this_thread::yield();

  std::uint64_t handed = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) CallLogEvent(1, kRecord.c_str());
    handed += kBatch;
    notifier.WaitFor(handed);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(handed));
  flags.closing = true;
  flags.stop = true;
  wake.Signal();
  thread.join();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CallLogToFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainAppends(benchmark::State& state) {
  const std::filesystem::path dir = BenchDir("plain");
  // What the recorder stores for one record: header with date and time, CR LF.
  const std::string line = "0001 20261210 140512 " + kRecord + "\r\n";
  const std::string paths[3] = {(dir / "dati.txt").string(), (dir / "dati2.txt").string(),
                                (dir / "storico.txt").string()};
  std::int64_t appended = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      for (const std::string& path : paths) {
        std::FILE* file = std::fopen(path.c_str(), "ab");
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
      }
    }
    appended += kBatch;
  }
  state.SetItemsProcessed(appended);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PlainAppends)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vr
