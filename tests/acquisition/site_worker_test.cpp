#include "acquisition/site_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <optional>
#include <map>
#include <string>
#include <vector>

#include "app/configuration.h"
#include "base/civil_time.h"
#include "line/forwarding_line.h"
#include "line/scripted_line.h"
#include "log/error_log.h"
#include "log/strings.h"
#include "sim/exchange.h"
#include "sim/hayes_modem.h"
#include "sim/kestrel_box.h"
#include "sim/simulated_line.h"
#include "schedule/schedule.h"
#include "storage/file_system.h"
#include "support/recording_notifier.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using Keys = std::map<std::string, std::string>;

using test::WatchingNotifier;

class RecordingDisplay final : public IconDisplay {
 public:
  void ShowIcon(TrayIcon icon) override {
    icons.push_back(icon);
    if (onIcon) onIcon(icon);
  }
  void EnableMenuItems(bool start, bool stop) override {
    if (onMenu) onMenu(start, stop);
  }
  std::vector<TrayIcon> icons;
  std::function<void(TrayIcon)> onIcon;
  std::function<void(bool, bool)> onMenu;
};

// The idle worker's wait event, never raised: each idle second of the
// worker moves the clock on and shows the test the time.
class IdleWatch final : public WakeSignal {
 public:
  explicit IdleWatch(const ManualClock& clock) : clock_(clock) {}
  void Signal() override {}
  bool Consume() override { return false; }
  bool Wait(std::uint32_t timeoutMs) override {
    clock_.AdvanceMs(timeoutMs);
    if (onWait) onWait();
    return false;
  }
  std::function<void()> onWait;

 private:
  const ManualClock& clock_;
};

// The port under the worker's own line, with a look at every read's result.
class ProbeLine final : public ForwardingLine {
 public:
  ProbeLine(std::unique_ptr<Line> port, std::function<void(const IoResult&)> afterRead)
      : ForwardingLine(std::move(port)), afterRead_(std::move(afterRead)) {}
  IoResult Read(std::span<std::uint8_t> buffer) override {
    return Seen(ForwardingLine::Read(buffer));
  }
  IoResult ReadWithin(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                      WakeSignal* wake) override {
    return Seen(ForwardingLine::ReadWithin(buffer, timeoutMs, wake));
  }

 private:
  IoResult Seen(const IoResult& r) {
    afterRead_(r);
    return r;
  }
  std::function<void(const IoResult&)> afterRead_;
};

// The port under the worker's own line, with a look at every write.
class WriteProbeLine final : public ForwardingLine {
 public:
  WriteProbeLine(std::unique_ptr<Line> port, std::function<void(std::string_view)> afterWrite)
      : ForwardingLine(std::move(port)), afterWrite_(std::move(afterWrite)) {}
  IoResult Write(std::span<const std::uint8_t> bytes) override {
    const IoResult r = ForwardingLine::Write(bytes);
    afterWrite_(std::string_view(reinterpret_cast<const char*>(bytes.data()), r.bytes));
    return r;
  }
  IoResult SendFlowChar(std::uint8_t byte) override {
    const IoResult r = ForwardingLine::SendFlowChar(byte);
    afterWrite_(std::string_view(reinterpret_cast<const char*>(&byte), r.bytes));
    return r;
  }

 private:
  std::function<void(std::string_view)> afterWrite_;
};

const Keys kComSite = {
    {"Ogni", "3600"},         {"SitoAbilitato", "1"},   {"Ricorrenza", "-1"},
    {"Ora", "10.00 01-01-2010p"}, {"Dispositivo", "COM"}, {"AggData", "0"},
    {"AggOra", "0"},          {"EliminaNull", "0"},     {"CorreggiCR", "1"},
    {"FlagCRLF", "0"},        {"Importazione", "2"},    {"STimeRead", "10"},
    {"STimeWrite", "10"},     {"MTimeRead", "10"},      {"MTimeWrite", "10"},
    {"FileTimeout", "60"},    {"SpazioTimeout", "0"},   {"Modem", "0"},
    {"Baud", "9600"},         {"BitDati", "8"},         {"Parita", "N"},
    {"Stop", "1"},            {"Handshake", "XON"},     {"Xon", "17"},
    {"Xoff", "19"},           {"TimeoutFineImp", "5"},
};

sim::ExchangeConfig Printing(int records, sim::TimeUs intervalUs = 0) {
  sim::ExchangeConfig config;
  config.generatedRecords = records;
  config.intervalUs = intervalUs;
  return config;
}

sim::KestrelConfig Box(sim::KestrelModel model, int records, std::size_t blockMaxBytes = 1024) {
  sim::KestrelConfig config;
  config.model = model;
  config.generatedRecords = records;
  config.blockMaxBytes = blockMaxBytes;
  return config;
}

// The data file of a site whose headers carry only the site code: an empty
// line first, then every record behind its header.
std::string ExpectedData(const std::string& site, const std::string& sentText) {
  std::string header = site.substr(0, 4);
  header.resize(5, ' ');
  std::string data = "\r\n";
  std::size_t start = 0;
  while (start < sentText.size()) {
    const std::size_t end = sentText.find("\r\n", start);
    if (end == std::string::npos) break;
    data += header + sentText.substr(start, end + 2 - start);
    start = end + 2;
  }
  if (start < sentText.size()) data += header + sentText.substr(start);
  return data;
}

class SiteWorkerTest : public ::testing::Test {
 protected:
  void WriteIni(const std::string& site, Keys keys, const Keys& overrides = {}) {
    for (const char* file : {"Dati", "Dati2", "Storico"}) {
      std::string name = file;
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      keys[file] = dir.File(name + ".txt");
    }
    for (const auto& [k, v] : overrides) keys[k] = v;
    std::string ini = "[General]\r\nCom=/dev/ttyS0\r\nLog=" + dir.File("vrec.log") + "\r\n[" +
                      site + "]\r\n";
    for (const auto& [k, v] : keys) ini += k + "=" + v + "\r\n";
    dir.Write("VESPREC.INI", ini);
    profile = std::make_unique<Profile>(dir.File("VESPREC.INI"));
    CollectingReporter reporter;
    ASSERT_TRUE(LoadConfiguration(*profile, config, reporter, clock)) << reporter.items.size();
  }

  // Runs the worker until it has closed `connections` connections.
  void RunConnections(sim::SimulatedLine& line, int connections = 1) {
    ports.Add("/dev/ttyS0", line);
    int closed = 0;
    notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
      if (m == Message::kError && value == msg::kPortClosed && ++closed == connections)
        flags.closing = true;
    };
    SiteWorker worker(Environment());
    EXPECT_EQ(worker.Run(), 0);
  }

  WorkerEnvironment& Environment() {
    LineOpener open = opener ? opener : ports.AsOpener();
    if (afterRead) {
      open = [this, open](const std::string& name, std::uint32_t* error) -> std::unique_ptr<Line> {
        std::unique_ptr<Line> port = open(name, error);
        if (!port) return nullptr;
        return std::make_unique<ProbeLine>(std::move(port), afterRead);
      };
    }
    env = std::make_unique<WorkerEnvironment>(WorkerEnvironment{
        config.sites, config.menu, *profile, dir.Path(), "/dev/ttyS0", siteCode, false, flags,
        notifier, display, clock, mailbox, files, open, nullptr, &status});
    return *env;
  }

  std::vector<std::uint32_t> Errors() const { return notifier.recorded.Values(Message::kError); }

  test::TempDir dir;
  ManualClock clock{ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0})};
  ManualWakeSignal wake{clock};
  WorkerMailbox mailbox{wake};
  ProcessFlags flags;
  WatchingNotifier notifier;
  RecordingDisplay display;
  NativeFileSystem files;
  sim::SimulatedPorts ports;
  Configuration config;
  std::unique_ptr<Profile> profile;
  std::unique_ptr<WorkerEnvironment> env;
  std::string siteCode;
  StatusBoard status;
  LineOpener opener;                              // instead of the simulated ports
  std::function<void(const IoResult&)> afterRead;  // sees every read on the port
};

TEST_F(SiteWorkerTest, PeriodicComSiteStoresEveryRecordAndEndsOnItsImportTimeout) {
  WriteIni("0001", kComSite);
  sim::Exchange exchange(Printing(12, 200'000));
  sim::SimulatedLine line(clock, exchange);
  RunConnections(line);

  ASSERT_TRUE(exchange.Done());
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", exchange.Sent()));
  EXPECT_EQ(dir.Read("dati2.txt"), dir.Read("dati.txt"));
  EXPECT_EQ(dir.Read("storico.txt"), dir.Read("dati.txt"));
  // The schedule moved on before the connection and was written back, and
  // the line-end carry was stored at the end.
  EXPECT_NE(dir.Read("VESPREC.INI").find("Ora=11.00 01-01-2010p"), std::string::npos);
  EXPECT_NE(dir.Read("VESPREC.INI").find("FlagCRLF=0"), std::string::npos);
  EXPECT_EQ(status.Get().lines, 12u);
  // The board counts what the site stored: every record, every byte, and
  // when the last one came (the clock moved on while they arrived).
  const auto activity = status.Activity();
  ASSERT_EQ(activity.count("0001"), 1u);
  EXPECT_EQ(activity.at("0001").records, 12u);
  EXPECT_EQ(activity.at("0001").bytes, dir.Read("dati.txt").size());
  EXPECT_GT(activity.at("0001").lastRecordSeconds, ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0}));
  EXPECT_LE(activity.at("0001").lastRecordSeconds, clock.Now().seconds);
}

TEST_F(SiteWorkerTest, RecordsAreCountedAlsoWithoutLineEndCorrection) {
  // The header's CR LF at the connection's start is not a record.
  WriteIni("0001", kComSite, {{"CorreggiCR", "0"}});
  sim::Exchange exchange(Printing(7, 200'000));
  sim::SimulatedLine line(clock, exchange);
  RunConnections(line);
  ASSERT_TRUE(exchange.Done());
  EXPECT_EQ(status.Get().lines, 0u);  // the title counts only corrected line ends
  EXPECT_EQ(status.Activity()["0001"].records, 7u);
  EXPECT_EQ(status.Activity()["0001"].bytes, dir.Read("dati.txt").size());
}

TEST_F(SiteWorkerTest, ClosingSequenceIsSentInOrder) {
  WriteIni("0001", kComSite);
  sim::Exchange exchange(Printing(2));
  sim::SimulatedLine line(clock, exchange);
  RunConnections(line);

  std::vector<std::string> closing;
  for (const auto& note : notifier.recorded.Notes())
    if (note.sent) closing.push_back(note.message == Message::kDebug ? note.text : "5012 " + note.text);
  EXPECT_EQ(closing, (std::vector<std::string>{"Ripristino impostazioni porta seriale",
                                               "Impostazioni porta seriale effettuata",
                                               "5012 0001", "Chiusura porta seriale",
                                               "Disconnessa porta seriale"}));
  // The port is closed and left with DTR and RTS dropped.
  EXPECT_FALSE(ports.IsOpen("/dev/ttyS0"));
}

TEST_F(SiteWorkerTest, XonLineIsNudgedAtEveryEmptyRead) {
  WriteIni("0001", kComSite, {{"TimeoutFineImp", "3"}});
  sim::Exchange exchange(Printing(1));
  sim::SimulatedLine line(clock, exchange);
  RunConnections(line);
  const std::string written = line.WrittenBytes();
  // Released once at the start; then every empty read sends XOFF, XON, XON.
  EXPECT_NE(written.find("\x13\x11\x11\x13\x11\x11"), std::string::npos);
}

TEST_F(SiteWorkerTest, ContinuousSiteStopsOnRequestAndStaysOff) {
  WriteIni("0001", kComSite, {{"Ricorrenza", "0"}});
  sim::Exchange exchange(Printing(0, 500'000));  // never ends
  sim::SimulatedLine line(clock, exchange);
  ports.Add("/dev/ttyS0", line);
  int shown = 0;
  notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
    if (m == Message::kDisplay && ++shown == 5) mailbox.Post(WorkerRequest::kStopConnection);
    if (m == Message::kError && value == msg::kPortClosed) flags.closing = true;
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);
  EXPECT_EQ(config.sites.front().enabled, 0);
  // Everything the exchange printed up to its hold (the drain takes what
  // was in flight) is stored; the record cut by XOFF continues next time.
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", exchange.Sent()));
  EXPECT_TRUE(exchange.Held());
  EXPECT_GE(shown, 5);
}

TEST_F(SiteWorkerTest, MissingSiteKeyIsReportedOnceAndNeverSpins) {
  Keys keys = kComSite;
  keys.erase("AggOra");
  keys["Ricorrenza"] = "0";
  WriteIni("0001", keys);
  sim::Exchange exchange;
  sim::SimulatedLine line(clock, exchange);
  ports.Add("/dev/ttyS0", line);
  // While the warning is pending (nobody closed its box) a failure is not
  // reported and the continuous site stays enabled, so it is tried again
  // and again: each try must cost a second.
  flags.WarningPending(msg::kSiteSettings) = true;
  int tries = 0;
  notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
    if (m == Message::kError && value == msg::kAggOra && ++tries == 3) flags.closing = true;
  };
  const std::uint64_t startMs = clock.TickMs();
  SiteWorker worker(Environment());
  worker.Run();
  EXPECT_GE(clock.TickMs() - startMs, 3000u);
  EXPECT_TRUE(notifier.recorded.Values(Message::kWarning).empty());
  EXPECT_EQ(config.sites.front().enabled, 1);
  EXPECT_EQ(ports.OpenAttempts("/dev/ttyS0"), 0);
}

TEST_F(SiteWorkerTest, MissingSiteKeyWarnsOnceAndDisablesTheSite) {
  Keys keys = kComSite;
  keys.erase("AggOra");
  WriteIni("0001", keys);
  sim::Exchange exchange;
  sim::SimulatedLine line(clock, exchange);
  ports.Add("/dev/ttyS0", line);
  display.onIcon = [&](TrayIcon icon) {
    if (icon == TrayIcon::kIdle && display.icons.size() > 1) flags.closing = true;
  };
  SiteWorker worker(Environment());
  worker.Run();
  EXPECT_EQ(Errors(), (std::vector<std::uint32_t>{msg::kAggOra, msg::kSiteSettings}));
  EXPECT_EQ(notifier.recorded.Values(Message::kWarning),
            std::vector<std::uint32_t>{msg::kSiteSettings});
  EXPECT_TRUE(flags.WarningPending(msg::kSiteSettings));
  EXPECT_EQ(config.sites.front().enabled, 0);
}

TEST_F(SiteWorkerTest, ScheduledSiteWhosePortIsMissingWaitsForItsNextTime) {
  WriteIni("0001", kComSite);
  sim::Exchange exchange;
  sim::SimulatedLine line(clock, exchange);
  ports.Add("/dev/ttyS0", line);
  ports.FailOpen("/dev/ttyS0", sim::kSimErrorNotFound, -1);
  notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
    if (m == Message::kSystemError) flags.closing = true;
    (void)value;
  };
  SiteWorker worker(Environment());
  worker.Run();
  EXPECT_EQ(ports.OpenAttempts("/dev/ttyS0"), 2);  // Importazione
  EXPECT_EQ(display.icons.back(), TrayIcon::kLineError);
  EXPECT_NE(dir.Read("VESPREC.INI").find("Ora=11.00 01-01-2010p"), std::string::npos);
  EXPECT_EQ(config.sites.front().enabled, 1);
}

TEST_F(SiteWorkerTest, KstdBoxIsEmptiedUntilItsStatusSaysSo) {
  Keys keys = kComSite;
  keys["Dispositivo"] = "KSTD";
  WriteIni("0001", keys, {{"TimeoutFineImp", "2"}});
  sim::KestrelBox box(Box(sim::KestrelModel::kKstd, 40, 300));
  sim::SimulatedLine line(clock, box);
  RunConnections(line);
  ASSERT_FALSE(box.Delivered().empty());
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", box.Delivered()));
}

TEST_F(SiteWorkerTest, KstbBoxDeliversItsBlocksInOrder) {
  Keys keys = kComSite;
  keys["Dispositivo"] = "KSTB";
  WriteIni("0001", keys, {{"TimeoutFineImp", "2"}});
  sim::KestrelBox box(Box(sim::KestrelModel::kKstb, 15));
  sim::SimulatedLine line(clock, box);
  RunConnections(line);
  ASSERT_FALSE(box.Delivered().empty());
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", box.Delivered()));
}

TEST_F(SiteWorkerTest, KstdBoxThroughTheAlternativeLoop) {
  Keys keys = kComSite;
  keys["Dispositivo"] = "KSTD";
  keys["MetodoAlternativo"] = "1";
  WriteIni("0001", keys, {{"TimeoutFineImp", "2"}});
  sim::KestrelBox box(Box(sim::KestrelModel::kKstd, 25, 256));
  sim::SimulatedLine line(clock, box);
  ports.Add("/dev/ttyS0", line);
  // The loop ends on an empty box and the worker goes idle again: the
  // second idle icon ends the run.
  int idle = 0;
  display.onIcon = [&](TrayIcon icon) {
    if (icon == TrayIcon::kIdle && ++idle == 2) flags.closing = true;
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);
  EXPECT_EQ(box.StoredBytes(), 0u);
  ASSERT_FALSE(box.Delivered().empty());
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", box.Delivered()));
  EXPECT_FALSE(ports.IsOpen("/dev/ttyS0"));
}

TEST_F(SiteWorkerTest, StopSetRightAfterAReadCompletedStillStoresItsChunk) {
  WriteIni("0001", kComSite, {{"Ricorrenza", "0"}});
  sim::Exchange exchange(Printing(0, 200'000));  // never ends
  sim::SimulatedLine line(clock, exchange);
  ports.Add("/dev/ttyS0", line);
  int chunks = 0;
  afterRead = [&](const IoResult& r) {
    // The main thread's stop (ctl stop, a shutdown) lands between the
    // completion of the read and the worker's look at the flag.
    if (r.bytes > 0 && ++chunks == 3) {
      flags.closing = true;
      flags.stop = true;
    }
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);
  ASSERT_GE(chunks, 3);
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", exchange.Sent()));
  EXPECT_TRUE(exchange.Held());
}

TEST_F(SiteWorkerTest, SilentBoxWithoutReadTimeOutEndsSoonAfterStop) {
  // A read time-out of 0 waits for its count: the box never answers.
  WriteIni("0001", kComSite,
           {{"Dispositivo", "KSTB"}, {"Ricorrenza", "0"}, {"STimeRead", "0"}});
  sim::KestrelBox box(Box(sim::KestrelModel::kKstb, 5));
  box.InjectFault(sim::BoxFault::kNoAnswer, -1);
  sim::SimulatedLine line(clock, box);
  ports.Add("/dev/ttyS0", line);
  std::optional<std::uint64_t> askedAtMs;
  std::optional<std::uint64_t> closedAtMs;
  const std::uint64_t startMs = clock.TickMs();
  afterRead = [&](const IoResult&) {
    if (!askedAtMs && clock.TickMs() - startMs >= 30'000) {
      askedAtMs = clock.TickMs();
      mailbox.Post(WorkerRequest::kStopConnection);
    }
  };
  notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
    if (m == Message::kError && value == msg::kPortClosed) {
      closedAtMs = clock.TickMs();
      flags.closing = true;
    }
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);
  ASSERT_TRUE(askedAtMs && closedAtMs);
  EXPECT_LE(*closedAtMs - *askedAtMs, 2000u);
  // No read was made that only the device's answer could have ended.
  EXPECT_EQ(line.StalledReads(), 0);
}

TEST_F(SiteWorkerTest, PortLostUnderAConnectionIsReportedOnceAndLookedForUntilItIsBack) {
  WriteIni("0001", kComSite, {{"Ricorrenza", "0"}});
  sim::Exchange exchange(Printing(0, 250'000));
  sim::SimulatedLine line(clock, exchange);
  ports.Add("/dev/ttyS0", line);

  // Unplugged after the fourth chunk, plugged in again 100 s later.
  bool unplugged = false;
  std::uint64_t unpluggedAtMs = 0;
  std::string sentBefore;
  std::vector<std::uint64_t> opensMs;
  opener = [&](const std::string& name, std::uint32_t* error) -> std::unique_ptr<Line> {
    opensMs.push_back(clock.TickMs());
    if (unplugged && clock.TickMs() - unpluggedAtMs < 100'000) {
      *error = sim::kSimErrorNotFound;
      return nullptr;
    }
    if (unplugged) {
      unplugged = false;
      line.FailNext(sim::LineOp::kRead, 0, 0);
    }
    return ports.Open(name, error);
  };
  int chunks = 0;
  afterRead = [&](const IoResult& r) {
    if (r.bytes > 0 && ++chunks == 4 && !unplugged && unpluggedAtMs == 0) {
      unplugged = true;
      unpluggedAtMs = clock.TickMs();
      // What was printed up to now has been read; the rest waits on the
      // simulated line for the port to come back.
      sentBefore = exchange.TakeSent();
      line.FailNext(sim::LineOp::kRead, sim::kSimErrorIo, -1);
    }
  };
  int shownAfter = 0;
  notifier.onNote = [&](Message m, std::uint32_t, const std::string&) {
    if (m == Message::kDisplay && unpluggedAtMs != 0 && !unplugged && ++shownAfter == 6)
      mailbox.Post(WorkerRequest::kClose);
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);

  std::vector<std::string> debug;
  for (const auto& note : notifier.recorded.Notes())
    if (note.message == Message::kDebug && note.text.find("Porta") == 0) debug.push_back(note.text);
  ASSERT_EQ(debug.size(), 2u);
  EXPECT_EQ(debug[0], "Porta /dev/ttyS0 persa: " + SystemErrorText(sim::kSimErrorIo));
  EXPECT_EQ(debug[1], "Porta /dev/ttyS0 di nuovo disponibile");
  // Looked for after 1, 2, 4 ... s, at most every 30 s; the open that
  // follows the look is the connection's own.
  std::vector<std::uint64_t> pausesMs;
  for (std::size_t i = 2; i < opensMs.size(); ++i) pausesMs.push_back(opensMs[i] - opensMs[i - 1]);
  ASSERT_GE(pausesMs.size(), 7u);
  EXPECT_EQ(std::vector<std::uint64_t>(pausesMs.begin(), pausesMs.begin() + 6),
            (std::vector<std::uint64_t>{2000, 4000, 8000, 16000, 30000, 30000}));
  // The site stayed on, and everything read on either side of the gap is
  // stored once, in order: a connection's data starts on a line of its own.
  EXPECT_EQ(config.sites.front().enabled, 1);
  const std::string data = dir.Read("dati.txt");
  const std::string first = ExpectedData("0001", sentBefore);
  ASSERT_EQ(data.substr(0, first.size()), first);
  EXPECT_EQ(data.substr(first.size()), ExpectedData("0001", exchange.Sent()));
  EXPECT_GE(shownAfter, 6);
}

TEST_F(SiteWorkerTest, ExchangeThatCannotBeHeldDoesNotKeepTheDrainForEver) {
  WriteIni("0001", kComSite, {{"Ricorrenza", "0"}, {"Handshake", "NONE"}});
  sim::ExchangeConfig printing = Printing(0);  // back to back, without end
  printing.flow = sim::ExchangeFlow::kNone;
  sim::Exchange exchange(printing);
  sim::SimulatedLine line(clock, exchange);
  ports.Add("/dev/ttyS0", line);
  int shown = 0;
  notifier.onNote = [&](Message m, std::uint32_t, const std::string&) {
    if (m == Message::kDisplay && ++shown == 3) mailbox.Post(WorkerRequest::kClose);
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);
  // What was read is stored; the rest of the stream goes with the port.
  const std::string data = dir.Read("dati.txt");
  const std::string sent = ExpectedData("0001", exchange.Sent());
  ASSERT_GT(data.size(), 0u);
  EXPECT_EQ(sent.substr(0, data.size()), data);
  EXPECT_LT(shown, 10);
}

// What the worker stored and showed, chunk by chunk, with the simulated time.
struct ShownChunk {
  std::uint64_t atMs;
  std::string text;
};

class IntervalSiteTest : public SiteWorkerTest {
 protected:
  // Runs one connection of a periodic COM site whose reads may last 60 s,
  // with the keys given, and notes every chunk shown.
  std::vector<ShownChunk> Run(sim::Exchange& exchange, const Keys& keys) {
    Keys all = {{"STimeRead", "600"}};
    for (const auto& [k, v] : keys) all[k] = v;
    WriteIni("0001", kComSite, all);
    sim::SimulatedLine line(clock, exchange);
    ports.Add("/dev/ttyS0", line);
    std::vector<ShownChunk> shown;
    notifier.onNote = [&](Message m, std::uint32_t value, const std::string& text) {
      if (m == Message::kDisplay) shown.push_back({clock.TickMs(), text});
      if (m == Message::kError && value == msg::kPortClosed) flags.closing = true;
    };
    startMs = clock.TickMs();
    SiteWorker worker(Environment());
    EXPECT_EQ(worker.Run(), 0);
    return shown;
  }
  std::uint64_t startMs = 0;
};

constexpr std::uint64_t kLongReadMs = 60'000;  // STimeRead=600

TEST_F(IntervalSiteTest, EachRecordIsStoredOnceTheLineGoesQuietLongBeforeTheReadTimeOut) {
  constexpr int kRecords = 6;
  constexpr sim::TimeUs kGapUs = 2'000'000;  // a record every 2 s
  sim::Exchange exchange(Printing(kRecords, kGapUs));
  const std::vector<ShownChunk> shown = Run(exchange, {{"SIntervalRead", "20"}});
  ASSERT_TRUE(exchange.Done());
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", exchange.Sent()));
  // One chunk a record, each stored before the next record began: the
  // read's 60 s could not have ended any of them.
  ASSERT_EQ(shown.size(), static_cast<std::size_t>(kRecords));
  for (std::size_t i = 0; i < shown.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::count(shown[i].text.begin(), shown[i].text.end(), '\n'), i == 0 ? 2 : 1);
    EXPECT_LT(shown[i].atMs - startMs, (i + 1) * kGapUs / 1000);
  }
}

TEST_F(IntervalSiteTest, BurstAtLineSpeedIsStoredCompleteInOrderAsSoonAsItEnds) {
  constexpr int kRecords = 100;  // back to back at 9600 baud: about 6 s
  sim::Exchange exchange(Printing(kRecords));
  const std::vector<ShownChunk> shown = Run(exchange, {{"SIntervalRead", "20"}});
  ASSERT_TRUE(exchange.Done());
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", exchange.Sent()));
  ASSERT_FALSE(shown.empty());
  std::string joined;
  for (const ShownChunk& chunk : shown) joined += chunk.text;
  EXPECT_EQ(joined, dir.Read("dati.txt"));
  // The characters follow one another closer than the interval: nothing
  // ends the read in the middle, and its end comes with the line's quiet.
  EXPECT_LT(shown.back().atMs - startMs, kLongReadMs);
}

// The worker's own reads (a box command's echo, a status reply) end on the
// port's interval time-out as the reception's do.
TEST(AttentiveLineTest, ReadEndsOnceThePortGoesQuietAfterABurstNotAtItsTotalTimeOut) {
  ManualClock clock;
  ManualWakeSignal wake{clock};
  const std::atomic<bool> stop{false};
  LineFault fault;
  constexpr sim::TimeUs kGapUs = 5'000'000;
  sim::Exchange exchange(Printing(3, kGapUs));
  sim::SimulatedLine port(clock, exchange);
  sim::SimulatedPorts ports;
  ports.Add("/dev/ttyS0", port);
  std::uint32_t error = 0;
  AttentiveLine line(ports.Open("/dev/ttyS0", &error), {wake, {}, stop, clock, fault});
  ASSERT_TRUE(line.SetTimeouts({.readTotalMs = 60'000, .writeTotalMs = 1000, .readIntervalMs = 20}));
  for (int record = 1; record <= 2; ++record) {
    SCOPED_TRACE(record);
    const std::string before = exchange.Sent();
    std::vector<std::uint8_t> buffer(1000);
    const IoResult r = line.Read(buffer);
    ASSERT_TRUE(r.ok);
    // Exactly the next record, taken before the one after it began.
    EXPECT_EQ(exchange.RecordsSent(), record);
    EXPECT_EQ(before + std::string(buffer.begin(), buffer.begin() + static_cast<long>(r.bytes)),
              exchange.Sent());
    EXPECT_LT(clock.TickMs(), record * kGapUs / 1000);
  }
  EXPECT_FALSE(fault.failed);
}

// The alternative loop on a KSTD box played byte for byte.
class AlternativeKstdTest : public SiteWorkerTest {
 protected:
  AlternativeKstdTest() : scripted(clock) {
    opener = [this](const std::string&, std::uint32_t* error) -> std::unique_ptr<Line> {
      *error = 0;
      return std::make_unique<test::ScriptedLineHandle>(scripted);
    };
  }
  // Answers the PC's writes from a list, one answer per write.
  void Answer(std::vector<std::pair<std::string, std::string>> script) {
    answers = std::move(script);
    scripted.onWrite = [this](std::string_view written) {
      if (next < answers.size() && written == answers[next].first)
        scripted.Arrive(answers[next++].second, clock.TickMs() + 5);
    };
  }
  static std::string Block(const std::string& text, int checksumDelta = 0) {
    unsigned sum = 0;
    for (const char c : text) sum += static_cast<std::uint8_t>(c);
    std::string block{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xFF)};
    block += text;
    block += static_cast<char>((sum + static_cast<unsigned>(checksumDelta)) & 0xFF);
    return block;
  }
  void Run() {
    WriteIni("0001", kComSite,
             {{"Dispositivo", "KSTD"}, {"MetodoAlternativo", "1"}, {"TimeoutFineImp", "2"}});
    int idle = 0;
    display.onIcon = [&](TrayIcon icon) {
      if (icon == TrayIcon::kIdle && ++idle == 2) flags.closing = true;
    };
    SiteWorker worker(Environment());
    EXPECT_EQ(worker.Run(), 0);
  }

  test::ScriptedLine scripted;
  std::vector<std::pair<std::string, std::string>> answers;
  std::size_t next = 0;
};

const std::string kResume1 = "\x11";
const std::string kResume2 = "\x11\x11";
const std::string kAck = "\x17";

TEST_F(AlternativeKstdTest, CountNoBoxCouldSendIsAFailedBlockAndTheLoopGoesOn) {
  Answer({{kResume1, "\x11" + std::string("\x20\x00", 2) + std::string(300, 'x')},  // N = 8192
          {kResume2, "\x11" + Block("AB\r\n")},
          {kAck, kAck},
          {kResume2, "\x11" + std::string("\x00\x00", 2)}});
  Run();
  EXPECT_EQ(next, answers.size());
  EXPECT_EQ(Errors(), std::vector<std::uint32_t>{msg::kChecksum});
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", "AB\r\n"));
  EXPECT_EQ(scripted.closes, scripted.opens);
}

TEST_F(AlternativeKstdTest, BadChecksumShowsTheHeldIconAndDropsTheBlock) {
  Answer({{kResume1, "\x11" + Block("BAD\r\n", 1)},
          {kResume2, "\x11" + Block("OK\r\n")},
          {kAck, kAck},
          {kResume2, "\x11" + std::string("\x00\x00", 2)}});
  Run();
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", "OK\r\n"));
  // Not acknowledged, and shown as held for a while.
  const std::string written = scripted.Written();
  EXPECT_EQ(std::count(written.begin(), written.end(), '\x17'), 1);
  const auto held = std::find(display.icons.begin(), display.icons.end(), TrayIcon::kHeld);
  ASSERT_NE(held, display.icons.end());
  ASSERT_NE(held + 1, display.icons.end());
  EXPECT_EQ(*(held + 1), TrayIcon::kReceiving);
  EXPECT_TRUE(Errors().empty());
}

TEST_F(AlternativeKstdTest, BlockWithoutAcknowledgeEchoIsNotStored) {
  Answer({{kResume1, "\x11" + Block("LOST\r\n")},
          {kAck, ""},
          {kResume2, "\x11" + Block("KEPT\r\n")},
          {kAck, kAck},
          {kResume2, "\x11" + std::string("\x00\x00", 2)}});
  Run();
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", "KEPT\r\n"));
}

TEST_F(AlternativeKstdTest, SilentBoxEndsTheDownloadAfterTheImportTimeOut) {
  Answer({{kResume1, "\x11" + std::string("\x00\x10", 2) + "ABCD"}});  // then nothing
  const std::uint64_t startMs = clock.TickMs();
  Run();
  EXPECT_GT(clock.TickMs() - startMs, 2000u);
  EXPECT_EQ(dir.Read("dati.txt"), "");
  EXPECT_EQ(scripted.closes, scripted.opens);
}

// A stop asked for while a KSTD box's status is being queried (`ctl stop`
// posts it and raises the flag from the main thread) ends the connection,
// whatever the status says: the box is not asked for more.
TEST_F(SiteWorkerTest, StopDuringTheStatusQueryEndsTheConnection) {
  Keys keys = kComSite;
  keys["Dispositivo"] = "KSTD";
  WriteIni("0001", keys, {{"TimeoutFineImp", "2"}});
  sim::KestrelBox box(Box(sim::KestrelModel::kKstd, 400, 300));
  box.SetStatusNumber(30000);  // far from empty: the status never ends the import
  sim::SimulatedLine line(clock, box);
  ports.Add("/dev/ttyS0", line);
  bool queried = false;
  int resumesAfterTheQuery = 0;
  opener = [&](const std::string& name, std::uint32_t* error) -> std::unique_ptr<Line> {
    std::unique_ptr<Line> port = ports.AsOpener()(name, error);
    if (!port) return nullptr;
    return std::make_unique<WriteProbeLine>(std::move(port), [&](std::string_view written) {
      if (written.empty()) return;
      if (written.front() == '\x02' && !queried) {
        queried = true;
        mailbox.Post(WorkerRequest::kStopConnection);
        flags.stop = true;
      } else if (written.front() == '\x11' && queried && ++resumesAfterTheQuery == 20) {
        flags.stop = true;  // ends a run that lost the stop
      }
    });
  };
  notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
    if (m == Message::kError && value == msg::kPortClosed) flags.closing = true;
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);

  ASSERT_TRUE(queried);
  EXPECT_EQ(resumesAfterTheQuery, 0);
  EXPECT_GT(box.StoredRecords(), 0);  // the stop ended it, with blocks still in the box
  ASSERT_FALSE(box.Delivered().empty());
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", box.Delivered()));
  EXPECT_FALSE(ports.IsOpen("/dev/ttyS0"));
}

TEST_F(SiteWorkerTest, AlternativeLoopRefusesWhatItCannotServe) {
  const struct {
    const char* name;
    Keys overrides;
    bool portMissing;
    std::uint32_t warning;  // the open's error id, 0 when the line opened
  } kCases[] = {
      {"KSTA", {{"Dispositivo", "KSTA"}}, false, 0},
      {"KSTB", {{"Dispositivo", "KSTB"}}, false, 0},
      {"KSTC", {{"Dispositivo", "KSTC"}}, false, 0},
      {"modem", {{"Dispositivo", "KSTD"}, {"Modem", "1"}, {"StringaModem", "ATZ"},
                 {"NumeroTel", "123"}}, false, 0},
      {"port missing", {{"Dispositivo", "KSTD"}}, true, msg::kPortConnect},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Keys overrides = c.overrides;
    overrides["MetodoAlternativo"] = "1";
    overrides["Ricorrenza"] = "0";
    WriteIni("0001", kComSite, overrides);
    sim::KestrelBox box(Box(sim::KestrelModel::kKstd, 5));
    sim::SimulatedLine line(clock, box);
    sim::SimulatedPorts thesePorts;
    thesePorts.Add("/dev/ttyS0", line);
    if (c.portMissing) thesePorts.FailOpen("/dev/ttyS0", sim::kSimErrorNotFound, -1);
    opener = thesePorts.AsOpener();
    notifier.recorded.Clear();
    display.icons.clear();
    display.onIcon = [&](TrayIcon icon) {
      if (icon == TrayIcon::kIdle && display.icons.size() > 1) flags.closing = true;
    };
    flags.closing = false;
    SiteWorker worker(Environment());
    EXPECT_EQ(worker.Run(), 0);
    EXPECT_EQ(notifier.recorded.Values(Message::kWarning), std::vector<std::uint32_t>{c.warning});
    EXPECT_EQ(config.sites.front().enabled, 0);
    EXPECT_NE(std::find(display.icons.begin(), display.icons.end(), TrayIcon::kLineError),
              display.icons.end());
    EXPECT_FALSE(thesePorts.IsOpen("/dev/ttyS0"));
    EXPECT_EQ(box.BlocksSent(), 0);
  }
}

TEST_F(SiteWorkerTest, AlternativeLoopServingASiteAloneWaitsLongerAfterEachRefusal) {
  // With /Sito= the site is due again as soon as a try ends.
  const struct {
    const char* name;
    Keys overrides;
    bool portMissing;
    std::uint32_t warning;
    const char* logLine;
  } kCases[] = {
      {"KSTB", {{"Dispositivo", "KSTB"}}, false, 0,
       "Sede 0001: scaricamento alternativo non possibile, non previsto per KSTA, KSTB e KSTC"},
      {"modem", {{"Dispositivo", "KSTD"}, {"Modem", "1"}, {"StringaModem", "ATZ"},
                 {"NumeroTel", "123"}}, false, 0,
       "Sede 0001: scaricamento alternativo non possibile, linea con modem"},
      {"port missing", {{"Dispositivo", "KSTD"}}, true, msg::kPortConnect,
       "Sede 0001: scaricamento alternativo non possibile, porta non aperta (errore 7005)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Keys overrides = c.overrides;
    overrides["MetodoAlternativo"] = "1";
    overrides["Ricorrenza"] = "0";
    overrides["Importazione"] = "1";
    WriteIni("0001", kComSite, overrides);
    siteCode = "0001";
    sim::KestrelBox box(Box(sim::KestrelModel::kKstd, 5));
    sim::SimulatedLine line(clock, box);
    sim::SimulatedPorts thesePorts;
    thesePorts.Add("/dev/ttyS0", line);
    if (c.portMissing) thesePorts.FailOpen("/dev/ttyS0", sim::kSimErrorNotFound, -1);
    std::vector<std::uint64_t> opensMs;
    const std::uint64_t startMs = clock.TickMs();
    opener = [&](const std::string& name, std::uint32_t* error) -> std::unique_ptr<Line> {
      opensMs.push_back(clock.TickMs());
      // Three minutes of simulated time, or a loop that lets none pass.
      if (clock.TickMs() - startMs >= 180'000 || opensMs.size() > 100) flags.closing = true;
      return thesePorts.Open(name, error);
    };
    notifier.recorded.Clear();
    flags.closing = false;
    SiteWorker worker(Environment());
    EXPECT_EQ(worker.Run(), 0);

    std::vector<std::uint64_t> pausesMs;
    for (std::size_t i = 1; i < opensMs.size(); ++i)
      pausesMs.push_back(opensMs[i] - opensMs[i - 1]);
    EXPECT_EQ(pausesMs, (std::vector<std::uint64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000,
                                                    30000, 30000, 30000}));
    // One warning and one log line for the whole run of refusals.
    EXPECT_EQ(notifier.recorded.Values(Message::kWarning), std::vector<std::uint32_t>{c.warning});
    std::vector<std::string> logged;
    for (const auto& note : notifier.recorded.Notes())
      if (note.message == Message::kDebug) logged.push_back(note.text);
    EXPECT_EQ(logged, std::vector<std::string>{c.logLine});
    EXPECT_FALSE(thesePorts.IsOpen("/dev/ttyS0"));
    EXPECT_EQ(box.BlocksSent(), 0);
  }
}

TEST_F(SiteWorkerTest, KstdBoxFallingSilentEndsAScheduledImportOnItsTimeOut) {
  WriteIni("0001", kComSite, {{"Dispositivo", "KSTD"}, {"TimeoutFineImp", "5"}});
  sim::KestrelBox box(Box(sim::KestrelModel::kKstd, 400, 300));
  box.SetStatusNumber(30000);  // far from empty: only the time-out can end the import
  sim::SimulatedLine line(clock, box);
  ports.Add("/dev/ttyS0", line);
  // Powered off right after it took the third acknowledge: from then on it
  // answers nothing.
  int acks = 0;
  std::optional<std::uint64_t> silentAtMs;
  opener = [&](const std::string& name, std::uint32_t* error) -> std::unique_ptr<Line> {
    std::unique_ptr<Line> port = ports.AsOpener()(name, error);
    if (!port) return nullptr;
    auto probe = std::make_unique<WriteProbeLine>(std::move(port), [&](std::string_view written) {
      if (written == "\x17" && ++acks == 3) {
        silentAtMs = clock.TickMs();
        box.InjectFault(sim::BoxFault::kNoAnswer, -1);
      }
    });
    return std::make_unique<ProbeLine>(std::move(probe), [&](const IoResult&) {
      // Ends a connection that would read on for ever.
      if (silentAtMs && clock.TickMs() - *silentAtMs > 600'000) flags.stop = true;
    });
  };
  std::optional<std::uint64_t> closedAtMs;
  notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
    if (m == Message::kError && value == msg::kPortClosed) {
      closedAtMs = clock.TickMs();
      flags.closing = true;
    }
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);

  ASSERT_TRUE(silentAtMs && closedAtMs);
  // The release after the third block asks three times for an echo, 1 s
  // apart (each time two reads of 7 s, the box's read time-out at 9600
  // baud); by then the time-out (5 s) has passed, and the first empty
  // header read ends the import; the closing hold waits one read for its
  // echo. A second header read would take 7 s more.
  constexpr std::uint64_t kReadMs = 7'000;
  EXPECT_LT(*closedAtMs - *silentAtMs, 3 * 2 * kReadMs + 2 * 1'000 + kReadMs + kReadMs + 3'000);
  EXPECT_GT(box.StoredRecords(), 0);
  EXPECT_EQ(dir.Read("dati.txt"), ExpectedData("0001", box.Delivered()));
  EXPECT_TRUE(Errors() == std::vector<std::uint32_t>{msg::kPortClosed});
  EXPECT_EQ(line.StalledReads(), 0);
  EXPECT_FALSE(ports.IsOpen("/dev/ttyS0"));
}

// The records printed in `segments` (what reached the PC between two cuts
// of the line, CR LF ended), each found behind its header in `data`, in
// order. A record cut by the end of a segment lost what was on the wire,
// and is left out.
::testing::AssertionResult EveryWholeRecordInOrder(const std::string& data,
                                                   const std::vector<std::string>& segments) {
  std::size_t at = 0;
  int records = 0;
  bool cut = false;  // the segment starts with the rest of a cut record
  for (const std::string& sent : segments) {
    std::size_t start = 0;
    if (cut) start = sent.find("\r\n") == std::string::npos ? sent.size() : sent.find("\r\n") + 2;
    for (std::size_t end; (end = sent.find("\r\n", start)) != std::string::npos; start = end + 2) {
      const std::string line = "0001 " + sent.substr(start, end + 2 - start);
      const std::size_t found = data.find(line, at);
      if (found == std::string::npos)
        return ::testing::AssertionFailure() << "record " << records << " missing: " << line;
      at = found + line.size();
      ++records;
    }
    cut = start < sent.size();
  }
  return ::testing::AssertionSuccess() << records << " records";
}

TEST_F(SiteWorkerTest, ModemSiteRedialsWithinOneBudgetAndHangsUpAtTheEnd) {
  // Three failed dials per connection. The first connection loses its
  // carrier twice: the first redial needs two dials, the second finds the
  // budget down to two and fails twice, which ends the connection. The
  // second connection is stopped with the carrier on.
  WriteIni("0001", kComSite,
           {{"Ricorrenza", "0"}, {"Modem", "1"}, {"StringaModem", "ATX3"}, {"NumeroTel", "123"},
            {"Importazione", "3"}});
  sim::Exchange exchange(Printing(0, 500'000));
  sim::HayesModem modem(exchange);
  sim::SimulatedLine line(clock, modem);
  ports.Add("/dev/ttyS0", line);
  // Which dials connect, in order; every later one fails.
  const std::vector<bool> connects = {true, false, true, false, false, true};
  int dials = 0;
  opener = [&](const std::string& name, std::uint32_t* error) -> std::unique_ptr<Line> {
    std::unique_ptr<Line> port = ports.AsOpener()(name, error);
    if (!port) return nullptr;
    return std::make_unique<WriteProbeLine>(std::move(port), [&](std::string_view written) {
      if (written != "123") return;
      const bool connect = dials < static_cast<int>(connects.size()) && connects[dials];
      ++dials;
      modem.SetDialResult(connect ? sim::DialResult::kConnect : sim::DialResult::kNoCarrier);
    });
  };
  int shown = 0;
  int closed = 0;
  std::vector<std::string> segments;  // what reached the PC before each cut
  std::vector<int> dialsWhenClosed;
  std::vector<std::string> lastCommandWhenClosed;
  notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
    if (m == Message::kDisplay) {
      ++shown;
      if (shown == 3 || shown == 6) {
        modem.DropCarrier(line.NowUs());
        segments.push_back(exchange.TakeSent());
      }
      if (shown == 9) mailbox.Post(WorkerRequest::kClose);
    }
    if (m == Message::kError && value == msg::kPortClosed) {
      dialsWhenClosed.push_back(modem.Dials());
      lastCommandWhenClosed.push_back(modem.Commands().back());
      if (++closed == 2 || modem.Dials() > 20) flags.closing = true;
    }
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);

  // 1 + 2 + 2 dials in the first connection, one in the second.
  EXPECT_EQ(dialsWhenClosed, (std::vector<int>{5, 6}));
  EXPECT_GE(shown, 9);
  // The failed redial ended the first connection with the whole closing
  // sequence, and the second one too; only the second still had a carrier
  // to hang up.
  std::vector<std::string> closing;
  for (const auto& note : notifier.recorded.Notes())
    if (note.sent)
      closing.push_back(note.message == Message::kDebug ? note.text : "5012 " + note.text);
  const std::vector<std::string> once = {"Ripristino impostazioni porta seriale",
                                         "Impostazioni porta seriale effettuata", "5012 0001",
                                         "Chiusura porta seriale", "Disconnessa porta seriale"};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(closing, twice);
  ASSERT_EQ(lastCommandWhenClosed.size(), 2u);
  EXPECT_EQ(lastCommandWhenClosed[0], "123");
  EXPECT_EQ(lastCommandWhenClosed[1], "ath");
  EXPECT_FALSE(modem.Carrier());
  // Nothing the exchange printed was lost across the redials, but the
  // bytes on the wire when the line was cut.
  segments.push_back(exchange.Sent());
  EXPECT_TRUE(EveryWholeRecordInOrder(dir.Read("dati.txt"), segments));
  EXPECT_EQ(config.sites.front().enabled, 1);
}

// The `Ora` value in the site's section of the file.
std::string OraIn(const std::string& ini) {
  const std::size_t at = ini.find("\r\nOra=");
  if (at == std::string::npos) return {};
  const std::size_t start = at + 6;
  return ini.substr(start, ini.find("\r\n", start) - start);
}

TEST_F(SiteWorkerTest, ScheduledSiteWhoseStartFailsIsNotTriedAgainBeforeItsNextTime) {
  const struct {
    const char* name;
    Keys overrides;
    bool settingsWarningPending;  // the box is still open: the site stays on
    bool portMissing;
  } kCases[] = {
      {"site settings", {{"AggOra", ""}}, true, false},
      {"data files", {{"Dati", "/nonexistent-vr-dir/dati.txt"}}, false, false},
      {"port", {}, false, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Keys keys = kComSite;
    Keys overrides = c.overrides;
    if (overrides.count("AggOra")) {
      keys.erase("AggOra");
      overrides.erase("AggOra");
    }
    clock.Set(ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0}));
    WriteIni("0001", keys, overrides);
    flags.ClearWarnings();
    flags.WarningPending(msg::kSiteSettings) = c.settingsWarningPending;
    flags.closing = false;
    sim::Exchange exchange;
    sim::SimulatedLine line(clock, exchange);
    sim::SimulatedPorts thesePorts;
    thesePorts.Add("/dev/ttyS0", line);
    if (c.portMissing) thesePorts.FailOpen("/dev/ttyS0", sim::kSimErrorNotFound, -1);
    opener = thesePorts.AsOpener();
    std::vector<std::int64_t> startsSeconds;
    display.onMenu = [&](bool start, bool stop) {
      if (!start && !stop) startsSeconds.push_back(clock.Now().seconds);
      if (startsSeconds.size() > 10) flags.closing = true;  // tried again and again
    };
    // Two hours and a half: the start at 10:30, then one each hour.
    const std::int64_t endSeconds = ToSeconds(CivilTime{2010, 1, 1, 13, 0, 0, 0});
    IdleWatch idle(clock);
    idle.onWait = [&] {
      if (clock.Now().seconds >= endSeconds) flags.closing = true;
    };
    WorkerEnvironment& environment = Environment();
    environment.waitEvent = &idle;
    SiteWorker worker(environment);
    EXPECT_EQ(worker.Run(), 0);

    const std::int64_t dueSeconds[] = {ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0}),
                                       ToSeconds(CivilTime{2010, 1, 1, 11, 0, 0, 0}),
                                       ToSeconds(CivilTime{2010, 1, 1, 12, 0, 0, 0})};
    ASSERT_EQ(startsSeconds.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_GE(startsSeconds[i], dueSeconds[i]) << i;
      EXPECT_LE(startsSeconds[i], dueSeconds[i] + 1) << i;
    }
    EXPECT_EQ(OraIn(dir.Read("VESPREC.INI")), "13.00 01-01-2010p");
    EXPECT_EQ(config.sites.front().enabled, 1);
  }
}

TEST_F(SiteWorkerTest, ConnectionLongerThanItsPeriodIsFollowedByTheNextAtOnce) {
  // Every minute; the exchange prints for four minutes.
  WriteIni("0001", kComSite,
           {{"Ogni", "60"}, {"Ora", "10.30 01-01-2010p"}, {"TimeoutFineImp", "30"}});
  sim::Exchange exchange(Printing(12, 20'000'000));
  sim::SimulatedLine line(clock, exchange);
  std::vector<std::uint64_t> startsMs;
  std::vector<std::int64_t> startsSeconds;
  display.onMenu = [&](bool start, bool stop) {
    if (!start && !stop) {
      startsMs.push_back(clock.TickMs());
      startsSeconds.push_back(clock.Now().seconds);
    }
  };
  std::vector<std::uint64_t> closedMs;
  std::vector<std::string> oraWhenClosed;
  ports.Add("/dev/ttyS0", line);
  notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
    if (m != Message::kError || value != msg::kPortClosed) return;
    closedMs.push_back(clock.TickMs());
    oraWhenClosed.push_back(OraIn(dir.Read("VESPREC.INI")));
    if (closedMs.size() == 2) flags.closing = true;
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);

  ASSERT_TRUE(exchange.Done());
  ASSERT_EQ(startsMs.size(), 2u);
  ASSERT_EQ(closedMs.size(), 2u);
  EXPECT_GT(closedMs[0] - startsMs[0], 60'000u);
  // No idle second between them.
  EXPECT_LT(startsMs[1] - closedMs[0], 1000u);
  // Each start moved the schedule to the first minute of the series after it.
  for (std::size_t i = 0; i < 2; ++i) {
    const std::optional<OraValue> ora = ParseOra(oraWhenClosed[i]);
    ASSERT_TRUE(ora) << oraWhenClosed[i];
    EXPECT_GT(ora->seconds, startsSeconds[i]) << i;
    EXPECT_LE(ora->seconds, startsSeconds[i] + 60) << i;
    EXPECT_TRUE(ora->advanced);
  }
  EXPECT_EQ(dir.Read("dati.txt").substr(0, 2), "\r\n");
  EXPECT_TRUE(EveryWholeRecordInOrder(dir.Read("dati.txt"), {exchange.Sent()}));
}

TEST_F(SiteWorkerTest, WeeklySiteRunsOnItsDaysAndWritesItsNextTimeBack) {
  // Mondays and Thursdays at 9:00, every week; 4 January 2010 is a Monday.
  clock.Set(ToSeconds(CivilTime{2010, 1, 4, 8, 59, 58, 0}));
  WriteIni("0001", kComSite,
           {{"Ricorrenza", "18"}, {"Ogni", "604800"}, {"Ora", "09.00 04-01-2010"}});
  sim::Exchange exchange(Printing(3, 1'000'000));
  sim::SimulatedLine line(clock, exchange);
  std::vector<std::int64_t> startsSeconds;
  display.onMenu = [&](bool start, bool stop) {
    if (!start && !stop) startsSeconds.push_back(clock.Now().seconds);
  };
  std::vector<std::string> oraWhenClosed;
  ports.Add("/dev/ttyS0", line);
  notifier.onNote = [&](Message m, std::uint32_t value, const std::string&) {
    if (m != Message::kError || value != msg::kPortClosed) return;
    oraWhenClosed.push_back(OraIn(dir.Read("VESPREC.INI")));
    if (oraWhenClosed.size() == 2) flags.closing = true;
  };
  SiteWorker worker(Environment());
  EXPECT_EQ(worker.Run(), 0);

  const std::vector<std::int64_t> expectedStarts = {ToSeconds(CivilTime{2010, 1, 4, 9, 0, 0, 0}),
                                                    ToSeconds(CivilTime{2010, 1, 7, 9, 0, 0, 0})};
  EXPECT_EQ(startsSeconds, expectedStarts);
  EXPECT_EQ(oraWhenClosed, (std::vector<std::string>{"09.00 07-01-2010p", "09.00 11-01-2010p"}));
  // Both connections stored what the exchange printed.
  EXPECT_TRUE(EveryWholeRecordInOrder(dir.Read("dati.txt"), {exchange.Sent()}));
  EXPECT_EQ(exchange.RecordsSent(), 3);
}

TEST(ChooseSite, EarliestEnabledEntryFirstInListOnTies) {
  const struct {
    const char* name;
    std::vector<std::tuple<std::string, int, std::int64_t>> sites;  // name, enabled, next
    const char* chosen;
  } kCases[] = {
      {"earliest wins", {{"A", 1, 50}, {"B", 1, 40}, {"C", 1, 60}}, "B"},
      {"tie: first in list", {{"A", 1, 40}, {"B", 1, 40}}, "A"},
      {"disabled skipped", {{"A", 0, 10}, {"B", 1, 40}}, "B"},
      {"none enabled", {{"A", 0, 10}}, ""},
      // The walk starts at the first entry enabled with exactly 1.
      {"enabled 2 before the first 1", {{"A", 2, 10}, {"B", 1, 40}}, "B"},
      {"enabled 2 after the first 1", {{"A", 1, 40}, {"B", 2, 10}}, "B"},
  };
  for (const auto& c : kCases) {
    SiteList sites;
    for (const auto& [name, enabled, next] : c.sites) {
      SiteEntry e;
      e.name = name;
      e.enabled = static_cast<std::uint8_t>(enabled);
      e.nextRun = next;
      sites.push_back(e);
    }
    SitesMenu menu;
    ManualClock clock(100);
    ManualWakeSignal wake(clock);
    WorkerMailbox mailbox(wake);
    ProcessFlags flags;
    test::RecordingNotifier notifier;
    RecordingDisplay display;
    NativeFileSystem files;
    Profile profile("unused.ini");
    WorkerEnvironment env{sites,   menu,  profile, ".",     "/dev/null", "",
                          false,   flags, notifier, display, clock,       mailbox,
                          files,   {},    {},       nullptr};
    SiteWorker worker(env);
    const SiteEntry* chosen = worker.ChooseSite();
    EXPECT_EQ(chosen ? chosen->name : std::string(), c.chosen) << c.name;
  }
}

}  // namespace
}  // namespace vr
