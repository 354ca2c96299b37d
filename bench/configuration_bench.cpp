// Reading a large VESPREC.INI: one instance with many sites (one section
// each, every key a site has), as an installer writes it.
//
//   BM_Check              `vesprec --check`: the whole configuration, every
//                         key of every site
//   BM_LoadConfiguration  what a start-up and a reload read: the general
//                         section, the site list and every schedule
//   BM_ReadSiteSettings   one connection's start: the last site's settings
//
// The argument is the number of sites. Files live in a temporary directory,
// removed at exit.

#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <streambuf>
#include <string>

#include "app/check.h"
#include "app/configuration.h"
#include "base/civil_time.h"
#include "base/clock.h"
#include "config/line_settings.h"
#include "config/site_settings.h"

namespace vr {
namespace {

class NullBuffer final : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

std::string SiteSection(int index, const std::string& dataDir) {
  char code[16];
  std::snprintf(code, sizeof code, "%04d", index);
  const std::string site = code;
  std::string s = "[" + site + "]\r\n";
  s += index % 2 ? "Ricorrenza=0\r\nOgni=0\r\n" : "Ricorrenza=-1\r\nOgni=3600\r\n";
  s += "Ora=08:00 01/01/2026\r\nSitoAbilitato=1\r\nDispositivo=COM\r\n";
  s += "Dati=" + dataDir + "/" + site + ".TXT\r\n";
  s += "Dati2=" + dataDir + "/" + site + "B.TXT\r\n";
  s += "Storico=" + dataDir + "/" + site + "S.TXT\r\n";
  s += "AggData=1\r\nAggOra=1\r\nCorreggiCR=1\r\nEliminaNull=1\r\nFlagCRLF=0\r\n"
       "CharToDel=000C\r\nImportazione=3\r\nSTimeRead=10\r\nSTimeWrite=10\r\n"
       "MTimeRead=600\r\nMTimeWrite=100\r\nFileTimeout=60\r\nSpazioTimeout=50\r\n"
       "Modem=0\r\nBaud=9600\r\nBitDati=8\r\nParita=N\r\nStop=1\r\nHandshake=XON\r\n"
       "Xon=17\r\nXoff=19\r\nTimeoutFineImp=30\r\n\r\n";
  return s;
}

// One folder per site count, made once per run.
class BenchFolders {
 public:
  ~BenchFolders() {
    std::error_code ec;
    for (const auto& [sites, dir] : dirs_) std::filesystem::remove_all(dir, ec);
  }

  const std::string& For(int sites) {
    auto it = dirs_.find(sites);
    if (it != dirs_.end()) return it->second;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("vesper-bench-config-" + std::to_string(::getpid()) + "-" +
                                       std::to_string(sites));
    std::filesystem::create_directories(dir / "data");
    std::string ini = "[General]\r\nCom=/dev/null-bench\r\nLog=" + (dir / "vrec.log").string() +
                      "\r\nNoVisible=0\r\n\r\n";
    for (int i = 1; i <= sites; ++i) ini += SiteSection(i, (dir / "data").string());
    std::ofstream(dir / "VESPREC.INI", std::ios::binary) << ini;
    return dirs_.emplace(sites, dir.string()).first->second;
  }

 private:
  std::map<int, std::string> dirs_;
};

BenchFolders& Folders() {
  static BenchFolders folders;
  return folders;
}

const ManualClock& BenchClock() {
  static const ManualClock clock{ToSeconds(CivilTime{2026, 3, 1, 12, 0, 0, 0})};
  return clock;
}

void BM_Check(benchmark::State& state) {
  const std::string& dir = Folders().For(static_cast<int>(state.range(0)));
  NullBuffer sink;
  std::ostream out(&sink);
  for (auto _ : state) benchmark::DoNotOptimize(RunConfigurationCheck(dir, out, out, BenchClock()));
}

void BM_LoadConfiguration(benchmark::State& state) {
  const std::string& dir = Folders().For(static_cast<int>(state.range(0)));
  const Profile profile(dir + "/VESPREC.INI");
  for (auto _ : state) {
    Configuration config;
    CollectingReporter reporter;
    benchmark::DoNotOptimize(LoadConfiguration(profile, config, reporter, BenchClock()));
  }
}

void BM_ReadSiteSettings(benchmark::State& state) {
  const int sites = static_cast<int>(state.range(0));
  const std::string& dir = Folders().For(sites);
  const Profile profile(dir + "/VESPREC.INI");
  char code[16];
  std::snprintf(code, sizeof code, "%04d", sites);
  for (auto _ : state) {
    SiteSettings settings;
    LineSettings line;
    CollectingReporter reporter;
    benchmark::DoNotOptimize(ReadSiteSettings(profile, code, dir, settings, reporter));
    benchmark::DoNotOptimize(ReadLineSettings(profile, code, line, reporter));
  }
}

BENCHMARK(BM_Check)->Arg(50)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadConfiguration)->Arg(50)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadSiteSettings)->Arg(50)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vr
