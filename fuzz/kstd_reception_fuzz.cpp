// The site worker's reception from a KSTD box on a scripted far end: the
// block headers (in range, out of range, the empty one that ends a periodic
// import, stray bytes), the resynchronisation after a bad header, the block
// receiver and the status query, with replies chosen by the fuzzer. The box
// answers each command the PC writes (resume, hold, acknowledge, status
// request) with the next reply the fuzzer gave for that command; when those
// run out it falls silent.
//
// Besides running clean under the sanitizers: once the box is silent and a
// stop is asked for (as `vesprec ctl stop` does), the worker ends the
// connection within a bounded number of reads and closes the port it opened;
// it writes nothing but box commands, and stores only text that the box
// sent.

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/site_worker.h"
#include "app/configuration.h"
#include "base/civil_time.h"
#include "base/clock.h"
#include "base/flags.h"
#include "base/notifier.h"
#include "base/wake_signal.h"
#include "config/reporter.h"
#include "fuzz_check.h"
#include "line/forwarding_line.h"
#include "line/scripted_line.h"
#include "log/strings.h"
#include "storage/file_system.h"

namespace {

using namespace vr;
using test::ScriptedLine;

namespace fs = std::filesystem;

// The box commands, in the order the fuzzer's replies are dealt to them.
constexpr std::array<std::uint8_t, 4> kCommands = {0x11, 0x13, 0x17, 0x02};
// Reads that find the line silent after which a stop is asked for (a silent
// box does not end its import by itself: its header reads find nothing, and
// only a block header with N = 0 ends a periodic import), and such reads
// after the stop within which the connection must have ended.
constexpr int kSilentReadsBeforeStop = 300;
constexpr int kMaxReadsAfterStop = 2000;
// Reads and writes in all past which the run counts as hung (a script is at
// most a few kilobytes).
constexpr std::size_t kMaxLineEvents = 100000;

class Reports final : public Notifier {
 public:
  explicit Reports(ProcessFlags& flags) : flags_(flags) {}
  void Post(Message message, std::uint32_t value, std::string) override { Note(message, value); }
  void Send(Message message, std::uint32_t value, std::string) override { Note(message, value); }

 private:
  void Note(Message message, std::uint32_t value) {
    // The end of the one connection ends the run.
    if (message == Message::kError && value == msg::kPortClosed) flags_.closing = true;
  }
  ProcessFlags& flags_;
};

class NoIcons final : public IconDisplay {
 public:
  void ShowIcon(TrayIcon) override {}
};

// Counts the reads that find nothing, with nothing on its way: asks for a
// stop after some, and past the bound tells the worker to close (the run
// then counts as hung).
class WatchedLine final : public ForwardingLine {
 public:
  WatchedLine(ScriptedLine& line, ProcessFlags& flags, WorkerMailbox& mailbox)
      : ForwardingLine(std::make_unique<test::ScriptedLineHandle>(line)),
        line_(line),
        flags_(flags),
        mailbox_(mailbox) {}
  IoResult Read(std::span<std::uint8_t> buffer) override {
    return Watch(ForwardingLine::Read(buffer));
  }
  IoResult ReadWithin(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                      WakeSignal* wake) override {
    return Watch(ForwardingLine::ReadWithin(buffer, timeoutMs, wake));
  }
  static int silentReads;

 private:
  IoResult Watch(const IoResult& r) {
    if (line_.events.size() > kMaxLineEvents) flags_.stop = flags_.closing = true;
    if (r.bytes != 0 || line_.PendingBytes() != 0) return r;
    ++silentReads;
    if (silentReads == kSilentReadsBeforeStop) {
      mailbox_.Post(WorkerRequest::kStopConnection);
      flags_.stop = true;
    }
    if (silentReads > kSilentReadsBeforeStop + kMaxReadsAfterStop) flags_.closing = true;
    return r;
  }
  ScriptedLine& line_;
  ProcessFlags& flags_;
  WorkerMailbox& mailbox_;
};
int WatchedLine::silentReads = 0;

std::string g_dir;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/vr-kstd-fuzz-XXXXXX";
  VR_FUZZ_CHECK(::mkdtemp(dir) != nullptr);
  g_dir = dir;
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(g_dir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool lineHeader = in.ConsumeBool();
  std::array<std::deque<std::pair<std::uint64_t, std::string>>, kCommands.size()> replies;
  std::string sent;  // every byte the box sends
  while (in.remaining_bytes() > 0) {
    const std::size_t command = in.ConsumeIntegralInRange<std::size_t>(0, kCommands.size() - 1);
    const std::uint64_t delayMs = in.ConsumeIntegralInRange<std::uint64_t>(0, 30);
    std::string reply = in.ConsumeRandomLengthString(600);
    sent += reply;
    replies[command].emplace_back(delayMs, std::move(reply));
  }

  // A fresh program folder: the configuration, no data files yet.
  std::error_code ec;
  fs::remove_all(g_dir, ec);
  fs::create_directories(g_dir);
  const std::string dati = g_dir + "/dati.txt";
  {
    std::ofstream ini(g_dir + "/VESPREC.INI", std::ios::binary);
    ini << "[General]\r\nCom=/dev/ttyS0\r\nLog=" << g_dir << "/vrec.log\r\n[0001]\r\n"
        << "Ogni=3600\r\nSitoAbilitato=1\r\nRicorrenza=-1\r\nOra=10.00 01-01-2010p\r\n"
        << "Dispositivo=KSTD\r\nAggData=0\r\nAggOra=0\r\nEliminaNull=0\r\nCorreggiCR=0\r\n"
        << "NoHeader=" << (lineHeader ? 0 : 1) << "\r\n"
        << "FlagCRLF=0\r\nImportazione=2\r\nSTimeRead=10\r\nSTimeWrite=10\r\nMTimeRead=10\r\n"
        << "MTimeWrite=10\r\nFileTimeout=60\r\nSpazioTimeout=0\r\nModem=0\r\nBaud=9600\r\n"
        << "BitDati=8\r\nParita=N\r\nStop=1\r\nHandshake=XON\r\nXon=17\r\nXoff=19\r\n"
        << "TimeoutFineImp=2\r\nDati=" << dati << "\r\nDati2=" << g_dir
        << "/dati2.txt\r\nStorico=" << g_dir << "/storico.txt\r\n";
  }

  ManualClock clock{ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0})};
  Profile profile(g_dir + "/VESPREC.INI");
  Configuration config;
  CollectingReporter reporter;
  VR_FUZZ_CHECK(LoadConfiguration(profile, config, reporter, clock));

  ScriptedLine scripted(clock);
  scripted.onWrite = [&](std::string_view written) {
    if (written.empty()) return;
    const auto* command =
        std::find(kCommands.begin(), kCommands.end(), static_cast<std::uint8_t>(written.front()));
    if (command == kCommands.end()) return;
    auto& queue = replies[static_cast<std::size_t>(command - kCommands.begin())];
    if (!queue.empty()) {
      scripted.Arrive(queue.front().second, clock.TickMs() + queue.front().first);
      queue.pop_front();
    }
  };
  WatchedLine::silentReads = 0;

  ProcessFlags flags;
  Reports notifier(flags);
  NoIcons display;
  ManualWakeSignal wake(clock);
  WorkerMailbox mailbox(wake);
  NativeFileSystem files;
  StatusBoard status;
  WorkerEnvironment env{config.sites,
                        config.menu,
                        profile,
                        g_dir,
                        "/dev/ttyS0",
                        "",
                        false,
                        flags,
                        notifier,
                        display,
                        clock,
                        mailbox,
                        files,
                        [&](const std::string&, std::uint32_t* error) -> std::unique_ptr<Line> {
                          *error = 0;
                          return std::make_unique<WatchedLine>(scripted, flags, mailbox);
                        },
                        nullptr,
                        &status};
  SiteWorker worker(env);
  VR_FUZZ_CHECK(worker.Run() == 0);

  // VR_FUZZ_TRACE=1 shows the dialogue, for replaying an input by hand.
  if (std::getenv("VR_FUZZ_TRACE") != nullptr) {
    for (const ScriptedLine::Event& event : scripted.events) {
      if (event.kind != ScriptedLine::Event::Kind::kRead &&
          event.kind != ScriptedLine::Event::Kind::kWrite)
        continue;
      std::fprintf(stderr, "%8llu %s", static_cast<unsigned long long>(event.atMs),
                   event.kind == ScriptedLine::Event::Kind::kWrite ? "PC " : "box");
      for (const char c : event.bytes) std::fprintf(stderr, " %02x", static_cast<unsigned char>(c));
      std::fprintf(stderr, "\n");
    }
  }

  // It ended, and put the port back.
  VR_FUZZ_CHECK(WatchedLine::silentReads <= kSilentReadsBeforeStop + kMaxReadsAfterStop);
  VR_FUZZ_CHECK(scripted.events.size() <= kMaxLineEvents + 1);
  VR_FUZZ_CHECK(scripted.opens == 1);
  VR_FUZZ_CHECK(scripted.closes == scripted.opens);
  // Only box commands went out.
  for (const char c : scripted.Written())
    VR_FUZZ_CHECK(std::find(kCommands.begin(), kCommands.end(), static_cast<std::uint8_t>(c)) !=
                  kCommands.end());
  // Every stored byte was sent by the box, or is the line header and line
  // end that line processing adds.
  const std::string stored = ReadFile(dati);
  if (std::getenv("VR_FUZZ_TRACE") != nullptr)
    std::fprintf(stderr, "stored: \"%s\"\n", stored.c_str());
  for (const char c : stored) {
    const bool added = c == '\r' || c == '\n' || (lineHeader && (c == ' ' || c == '0' || c == '1'));
    VR_FUZZ_CHECK(added || sent.find(c) != std::string::npos);
  }
  return 0;
}
