// The call-log run of an AVAYA site against a library made of the test's
// own functions: what the run reads and reports, what it calls in which
// order, and how the records its callbacks get end up in the data files,
// from any thread and at any moment of the run.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/site_worker.h"
#include "app/configuration.h"
#include "base/civil_time.h"
#include "devices/call_log.h"
#include "log/strings.h"
#include "storage/file_system.h"
#include "support/recording_notifier.h"
#include "support/temp_dir.h"

// Where the test library lies (POSIX; Windows finds DevLink.dll beside
// the test program).
#ifndef VR_RACE_DEVLINK_DIR
#define VR_RACE_DEVLINK_DIR "."
#endif

namespace vr {
namespace {

using Keys = std::map<std::string, std::string>;

const Keys kAvayaSite = {
    {"Ogni", "3600"},          {"SitoAbilitato", "1"},       {"Ricorrenza", "0"},
    {"Ora", "10.00 01-01-2010p"}, {"Dispositivo", "AVAYA"},  {"IndirizzoIP", "192.0.2.7:50808"},
    {"Password", "segreta"},   {"AggData", "0"},             {"AggOra", "0"},
    {"EliminaNull", "0"},      {"CorreggiCR", "1"},          {"FlagCRLF", "0"},
    {"Importazione", "2"},     {"STimeRead", "10"},          {"STimeWrite", "10"},
    {"MTimeRead", "10"},       {"MTimeWrite", "10"},         {"FileTimeout", "60"},
    {"SpazioTimeout", "0"},    {"Modem", "0"},               {"Baud", "9600"},
    {"BitDati", "8"},          {"Parita", "N"},              {"Stop", "1"},
    {"Handshake", "XON"},      {"Xon", "17"},                {"Xoff", "19"},
    {"TimeoutFineImp", "5"},
};

// The library of a test: its entries note each call and keep the callbacks.
struct FakeDevLink {
  std::mutex mutex;
  std::vector<std::string> calls;
  COMMSEVENT comms = nullptr;
  CALLLOGEVENT callLog = nullptr;
  std::function<void()> onRegister;  // inside DLRegisterCallLog
  std::function<void()> onClose;     // inside DLClose
  // What DLOpen and DLRegisterCallLog answer (0: success).
  std::function<std::int32_t()> openResult = [] { return 0; };
  std::function<std::int32_t()> registerResult = [] { return 0; };

  void Note(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex);
    return calls;
  }
};
FakeDevLink* g_fake = nullptr;

std::int32_t VR_DEVLINK_CALL FakeOpen(std::int32_t pbxh, const char* address, const char* password,
                                      const char* reserved1, const char* reserved2, COMMSEVENT cb) {
  g_fake->Note("DLOpen " + std::to_string(pbxh) + " " + address + " " + password + " [" +
               reserved1 + "] [" + reserved2 + "]");
  g_fake->comms = cb;
  return g_fake->openResult();
}
std::int32_t VR_DEVLINK_CALL FakeRegister(std::int32_t pbxh, CALLLOGEVENT cb) {
  g_fake->Note("DLRegisterCallLog " + std::to_string(pbxh));
  g_fake->callLog = cb;
  if (g_fake->onRegister) g_fake->onRegister();
  return g_fake->registerResult();
}
std::int32_t VR_DEVLINK_CALL FakeClose(std::int32_t pbxh) {
  g_fake->Note("DLClose " + std::to_string(pbxh));
  if (g_fake->onClose) g_fake->onClose();
  return 0;
}

using test::WatchingNotifier;

class Display final : public IconDisplay {
 public:
  void ShowIcon(TrayIcon icon) override {
    icons.push_back(icon);
    if (onIcon) onIcon(icon);
  }
  void EnableMenuItems(bool start, bool stop) override {
    items.push_back(std::string(start ? "A" : "a") + (stop ? "I" : "i"));
  }
  std::function<void(TrayIcon)> onIcon;
  std::vector<TrayIcon> icons;
  std::vector<std::string> items;  // "aI": &Avvia grey, &Interrompi enabled
};

std::vector<std::string> Lines(const std::string& data) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(data.substr(start, end - start));
  if (start < data.size()) lines.push_back(data.substr(start) + "<no line end>");
  return lines;
}

class AvayaRunTest : public ::testing::Test {
 protected:
  AvayaRunTest() { g_fake = &fake; }
  ~AvayaRunTest() override {
    CallLogGate::Process().SetEntryHook({});
    g_fake = nullptr;
  }

  void WriteIni(Keys keys, const std::string& moreSections = {}) {
    keys["Dati"] = dir.File("dati.txt");
    keys["Dati2"] = dir.File("dati2.txt");
    keys["Storico"] = dir.File("storico.txt");
    std::string ini = "[General]\r\nCom=avaya\r\nLog=" + dir.File("vrec.log") + "\r\n[0001]\r\n";
    for (const auto& [k, v] : keys)
      if (!v.empty()) ini += k + "=" + v + "\r\n";
    dir.Write("VESPREC.INI", ini + moreSections);
    profile = std::make_unique<Profile>(dir.File("VESPREC.INI"));
    CollectingReporter reporter;
    ASSERT_TRUE(LoadConfiguration(*profile, config, reporter, clock));
  }

  WorkerEnvironment& Environment() {
    env = std::make_unique<WorkerEnvironment>(WorkerEnvironment{
        config.sites, config.menu, *profile, dir.Path(), "avaya", "", false, flags, notifier,
        display, clock, mailbox, files, nullptr, nullptr, &status});
    env->loadDevLink = [this] {
      ++loads;
      return library;
    };
    env->showOwnerlessBox = [this](const std::string& text) { boxes.push_back(text); };
    env->maxBufferBytes = maxBufferBytes;
    return *env;
  }

  // Ends the worker as soon as the run is over.
  void RunOnce() {
    fake.onClose = [this, before = fake.onClose] {
      if (before) before();
      flags.closing = true;
    };
    SiteWorker worker(Environment());
    EXPECT_EQ(worker.Run(), 0);
  }

  // Stops the run once `lines` lines have been stored.
  void StopAfterLines(std::size_t lines) {
    notifier.onNote = [this, lines](Message m, std::uint32_t, const std::string&) {
      if (m == Message::kDisplay && status.Get().lines >= lines) flags.stop = true;
    };
  }

  std::vector<std::string> Displays() const {
    std::vector<std::string> texts;
    for (const auto& note : notifier.recorded.Notes())
      if (note.message == Message::kDisplay) texts.push_back(note.text);
    return texts;
  }
  std::vector<std::uint32_t> Reports(Message m) const { return notifier.recorded.Values(m); }

  test::TempDir dir;
  ManualClock clock{ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0})};
  ManualWakeSignal wake{clock};
  WorkerMailbox mailbox{wake};
  ProcessFlags flags;
  WatchingNotifier notifier;
  Display display;
  NativeFileSystem files;
  Configuration config;
  std::unique_ptr<Profile> profile;
  std::unique_ptr<WorkerEnvironment> env;
  StatusBoard status;
  FakeDevLink fake;
  DevLinkLibrary library{DevLinkLibrary::Status::kLoaded, FakeOpen, FakeRegister, FakeClose};
  int loads = 0;
  std::vector<std::string> boxes;
  std::size_t maxBufferBytes = LineBuffers::kNoCapacityLimit;
};

TEST_F(AvayaRunTest, OpensRegistersShowsItsLinesAndClosesInOrder) {
  WriteIni(kAvayaSite);
  fake.onRegister = [] {
    g_fake->comms(1, 3, 0xFFFFFFFFu);  // shown as signed decimals
    g_fake->callLog(1, "abc");
  };
  StopAfterLines(1);
  RunOnce();

  EXPECT_EQ(fake.Calls(), (std::vector<std::string>{
                              "DLOpen 1 192.0.2.7:50808 segreta [] []", "DLRegisterCallLog 1",
                              "DLClose 1"}));
  EXPECT_EQ(Displays(), (std::vector<std::string>{
                            "importazione: 0001 \r\n",
                            "avaya connected (comstate = 3, param1= -1) \r\n",
                            "\r\n0001 abc\r\n",
                            "avaya disconnected \r\n",
                        }));
  // Both grey at the start of the connection, then as a serial line's, then idle.
  EXPECT_EQ(display.items, (std::vector<std::string>{"ai", "aI", "Ai"}));
  EXPECT_TRUE(Reports(Message::kError).empty());
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(loads, 1);
}

TEST_F(AvayaRunTest, RecordBecomesTextLfCrBeforeLineProcessing) {
  const struct {
    const char* name;
    Keys overrides;
    const char* record;
    const char* stored;
  } kCases[] = {
      {"CorreggiCR makes the end CR LF", {}, "abc", "\r\n0001 abc\r\n"},
      {"CharToDel 61 drops every a", {{"CharToDel", "61"}}, "abcab", "\r\n0001 bcb\r\n"},
      {"NoHeader: the record alone", {{"NoHeader", "1"}}, "abc", "abc\r\n"},
      // Its line end is the connection's first CR LF; no header follows it.
      {"an empty first record", {}, "", "\r\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Keys keys = kAvayaSite;
    for (const auto& [k, v] : c.overrides) keys[k] = v;
    for (const char* file : {"dati.txt", "dati2.txt", "storico.txt"}) dir.Write(file, "");
    WriteIni(keys);
    const std::string record = c.record;
    fake.onRegister = [record] { g_fake->callLog(1, record.c_str()); };
    status.SetLines(0);
    StopAfterLines(1);
    flags.closing = false;
    RunOnce();
    EXPECT_EQ(dir.Read("dati.txt"), c.stored);
    EXPECT_EQ(dir.Read("dati2.txt"), dir.Read("dati.txt"));
  }
}

TEST_F(AvayaRunTest, MissingKeyReports7006OnceDisablesTheSiteAndLaterEndsAtOnce) {
  for (const char* key : {"IndirizzoIP", "Password"}) {
    SCOPED_TRACE(key);
    Keys keys = kAvayaSite;
    keys[key] = "";  // left out of the section
    WriteIni(keys);
    flags.ClearWarnings();
    notifier.recorded.Clear();
    int passes = 0;
    display.onIcon = [&](TrayIcon icon) {
      if (icon == TrayIcon::kIdle && ++passes == 2) flags.closing = true;
    };
    flags.closing = false;
    {
      SiteWorker worker(Environment());
      worker.Run();
    }
    EXPECT_EQ(Reports(Message::kError), std::vector<std::uint32_t>{msg::kSiteSettings});
    EXPECT_EQ(notifier.recorded.Notes().front().text, "0001");
    EXPECT_EQ(Reports(Message::kWarning), std::vector<std::uint32_t>{msg::kSiteSettings});
    EXPECT_EQ(config.sites.front().enabled, 0);

    // Enabled again while the warning is still pending: the run ends at
    // once without a report, and the site, still enabled, is not tried
    // again without a pause.
    config.sites.front().enabled = 1;
    notifier.recorded.Clear();
    passes = 0;
    display.onIcon = [&](TrayIcon icon) {
      if (icon == TrayIcon::kIdle && ++passes == 4) flags.closing = true;
    };
    flags.closing = false;
    const std::uint64_t startMs = clock.TickMs();
    {
      SiteWorker worker(Environment());
      worker.Run();
    }
    EXPECT_TRUE(notifier.recorded.Notes().empty());
    EXPECT_EQ(config.sites.front().enabled, 1);
    EXPECT_GE(clock.TickMs() - startMs, 3000u);
  }
  EXPECT_EQ(loads, 0);
  EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(AvayaRunTest, LibraryThatCannotBeUsedShowsItsBoxAndDisablesTheSite) {
  const struct {
    DevLinkLibrary::Status status;
    const char* box;
  } kCases[] = {
      {DevLinkLibrary::Status::kMissing, "DevLink.dll is missing."},
      {DevLinkLibrary::Status::kCorrupted, "DevLink.dll is corrupted."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.box);
    WriteIni(kAvayaSite);
    library = DevLinkLibrary{c.status, nullptr, nullptr, nullptr};
    boxes.clear();
    notifier.recorded.Clear();
    display.onIcon = [&](TrayIcon icon) {
      if (icon == TrayIcon::kIdle && !boxes.empty()) flags.closing = true;
    };
    flags.closing = false;
    SiteWorker worker(Environment());
    worker.Run();
    EXPECT_EQ(boxes, std::vector<std::string>{c.box});
    EXPECT_EQ(config.sites.front().enabled, 0);
    // No report through the main window; only the run's first line was shown.
    EXPECT_TRUE(Reports(Message::kError).empty());
    EXPECT_TRUE(Reports(Message::kWarning).empty());
    EXPECT_EQ(Displays(), std::vector<std::string>{"importazione: 0001 \r\n"});
  }
}

TEST_F(AvayaRunTest, RefusedLinkIsReportedOnceClosedAndAskedForAgainAfterAGrowingPause) {
  constexpr std::size_t kRefusals = 8;
  const struct {
    const char* name;
    std::int32_t openCode;
    std::int32_t registerCode;
    std::vector<std::string> refusedCalls;  // of each refused try
    const char* logLine;
  } kCases[] = {
      {"DLOpen", 2, 0, {"DLOpen", "DLClose"}, "Sede 0001: DevLink ha rifiutato DLOpen (codice 2)"},
      {"DLRegisterCallLog", 0, -1, {"DLOpen", "DLRegisterCallLog", "DLClose"},
       "Sede 0001: DevLink ha rifiutato DLRegisterCallLog (codice -1)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const char* file : {"dati.txt", "dati2.txt", "storico.txt"}) dir.Write(file, "");
    WriteIni(kAvayaSite);
    {
      std::lock_guard lock(fake.mutex);
      fake.calls.clear();
    }
    notifier.recorded.Clear();
    display.icons.clear();
    status.SetLines(0);
    std::vector<std::uint64_t> opensMs;
    auto refusing = [&] { return opensMs.size() <= kRefusals; };
    fake.openResult = [&, code = c.openCode] {
      opensMs.push_back(clock.TickMs());
      // A run that took the refusal for success would wait for records
      // that never come: ended here, and a loop without pause is cut short.
      if (refusing()) flags.stop = true;
      if (opensMs.size() > 40) flags.closing = true;
      return refusing() ? code : 0;
    };
    fake.registerResult = [&, code = c.registerCode] { return refusing() ? code : 0; };
    std::size_t receivingBeforeAccepted = 0;
    fake.onRegister = [&] {
      if (refusing()) return;
      receivingBeforeAccepted = static_cast<std::size_t>(
          std::count(display.icons.begin(), display.icons.end(), TrayIcon::kReceiving));
      g_fake->callLog(1, "abc");
    };
    fake.onClose = [&] {
      if (!refusing()) flags.closing = true;
    };
    StopAfterLines(1);
    flags.closing = false;
    {
      SiteWorker worker(Environment());
      worker.Run();
    }

    // Each refusal closed the library; then the accepted link delivered.
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < kRefusals; ++i)
      expected.insert(expected.end(), c.refusedCalls.begin(), c.refusedCalls.end());
    for (const char* call : {"DLOpen", "DLRegisterCallLog", "DLClose"}) expected.push_back(call);
    std::vector<std::string> calls;
    for (const std::string& call : fake.Calls()) calls.push_back(call.substr(0, call.find(' ')));
    EXPECT_EQ(calls, expected);
    // Asked again after 1, 2, 4 ... s, at most every 30 s.
    std::vector<std::uint64_t> pausesMs;
    for (std::size_t i = 1; i < opensMs.size(); ++i)
      pausesMs.push_back(opensMs[i] - opensMs[i - 1]);
    EXPECT_EQ(pausesMs, (std::vector<std::uint64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000,
                                                    30000}));
    // One line for the whole run of refusals, one when the link is taken.
    std::vector<std::string> logged;
    for (const auto& note : notifier.recorded.Notes())
      if (note.message == Message::kDebug) logged.push_back(note.text);
    EXPECT_EQ(logged, (std::vector<std::string>{
                          c.logLine, "Sede 0001: DevLink ha accettato il collegamento"}));
    // Never shown as receiving while refused; the site stayed on.
    EXPECT_EQ(receivingBeforeAccepted, 0u);
    EXPECT_NE(std::find(display.icons.begin(), display.icons.end(), TrayIcon::kLineError),
              display.icons.end());
    EXPECT_EQ(config.sites.front().enabled, 1);
    EXPECT_EQ(dir.Read("dati.txt"), "\r\n0001 abc\r\n");
  }
}

// Marks the threads that StartLine holds.
thread_local bool t_racer = false;

// Holds the first call of each of `parties` racing threads until all of
// them are inside the callback.
class StartLine {
 public:
  explicit StartLine(int parties) : parties_(parties) {}
  void Arrive() {
    thread_local bool arrived = false;
    if (!t_racer || arrived) return;
    arrived = true;
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return waiting_ >= parties_; });
  }
  int Waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

 private:
  const int parties_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
};

// As the test library (tests/devlink/race_devlink.cpp) makes them.
std::string ThreadRecord(char thread, int index) {
  char head[32];
  std::snprintf(head, sizeof head, "%c-%06d-", thread, index);
  return head + std::string(60, static_cast<char>(thread + 'a' - 'A'));
}

// The data file holds the connection's empty line, then every record of
// threads A and B (perThread each, each thread's in order) and the two
// handed over during DLClose, each whole, behind its header, once.
void ExpectEveryRecordWholeAndOnce(const std::string& data, int perThread) {
  const std::vector<std::string> lines = Lines(data);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "");
  int next[2] = {1, 1};
  int closeCaller = 0, closeThread = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    ASSERT_EQ(line.rfind("0001 ", 0), 0u) << line;
    const std::string record = line.substr(5);
    if (record == "CLOSE-CALLER") {
      ++closeCaller;
      continue;
    }
    if (record == "CLOSE-THREAD") {
      ++closeThread;
      continue;
    }
    ASSERT_TRUE(record[0] == 'A' || record[0] == 'B') << record;
    int& expected = next[record[0] - 'A'];
    ASSERT_EQ(record, ThreadRecord(record[0], expected)) << "cut, mixed, repeated or out of order";
    ++expected;
  }
  EXPECT_EQ(next[0], perThread + 1);
  EXPECT_EQ(next[1], perThread + 1);
  EXPECT_EQ(closeCaller, 1);
  EXPECT_EQ(closeThread, 1);
}

TEST_F(AvayaRunTest, CallsFromTwoThreadsAtOnceDuringAndAfterCloseLeaveEveryRecordWholeAndOnce) {
  constexpr int kPerThread = 500;
  WriteIni(kAvayaSite);
  StartLine startLine(2);
  CallLogGate::Process().SetEntryHook([&] { startLine.Arrive(); });
  std::vector<std::thread> threads;
  fake.onRegister = [&] {
    for (char name : {'A', 'B'}) {
      threads.emplace_back([name] {
        t_racer = true;
        for (int i = 1; i <= kPerThread; ++i) g_fake->callLog(1, ThreadRecord(name, i).c_str());
      });
    }
  };
  fake.onClose = [] {
    // From the closing thread itself, and from one of the library's.
    g_fake->callLog(1, "CLOSE-CALLER");
    std::thread([] { g_fake->callLog(1, "CLOSE-THREAD"); }).join();
  };
  StopAfterLines(2 * kPerThread);
  // Once the run is over and the worker idle: a call from a library thread
  // is dropped, said in a debug line, never stored.
  const std::uint64_t droppedBefore = CallLogGate::Process().DroppedCalls();
  int passes = 0;
  display.onIcon = [&](TrayIcon icon) {
    if (icon != TrayIcon::kIdle || ++passes != 2) return;
    std::thread([] { g_fake->callLog(1, "LATE"); }).join();
    flags.closing = true;
  };
  {
    SiteWorker worker(Environment());
    worker.Run();
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(startLine.Waiting(), 2);
  EXPECT_EQ(CallLogGate::Process().DroppedCalls(), droppedBefore + 1);
  const auto notes = notifier.recorded.Notes();
  EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                          [](const auto& n) {
                            return n.message == Message::kDebug && n.text == kLateCallLogText;
                          }),
            1);

  ExpectEveryRecordWholeAndOnce(dir.Read("dati.txt"), kPerThread);
  EXPECT_EQ(dir.Read("storico.txt"), dir.Read("dati.txt"));
}

TEST_F(AvayaRunTest, TestLibraryCallingFromTwoThreadsDuringAndAfterCloseLeavesEveryRecordOnce) {
  // Through the program's own loader; a second real library cannot be
  // loaded into this process, so this is the one test that does.
  constexpr int kPerThread = 3000;
  Keys keys = kAvayaSite;
  keys["IndirizzoIP"] = "race:" + std::to_string(kPerThread);
  WriteIni(keys);
  library = LoadDevLink(VR_RACE_DEVLINK_DIR);
  ASSERT_EQ(library.status, DevLinkLibrary::Status::kLoaded)
      << DevLinkFileName() << " in " << VR_RACE_DEVLINK_DIR;
  using LateCall = void(VR_DEVLINK_CALL*)(const char*);
  const auto late = reinterpret_cast<LateCall>(DevLinkEntry("DLTestCallLate"));
  ASSERT_NE(late, nullptr);

  // The library says 99 once both its threads are done.
  notifier.onNote = [&](Message m, std::uint32_t, const std::string& text) {
    if (m == Message::kDisplay && text.find("comstate = 99") != std::string::npos)
      flags.stop = true;
  };
  const std::uint64_t droppedBefore = CallLogGate::Process().DroppedCalls();
  int passes = 0;
  display.onIcon = [&](TrayIcon icon) {
    if (icon != TrayIcon::kIdle || ++passes != 2) return;
    late("LATE");  // the run is over
    flags.closing = true;
  };
  {
    SiteWorker worker(Environment());
    worker.Run();
  }
  EXPECT_EQ(CallLogGate::Process().DroppedCalls(), droppedBefore + 1);
  ExpectEveryRecordWholeAndOnce(dir.Read("dati.txt"), kPerThread);
  EXPECT_EQ(dir.Read("dati2.txt"), dir.Read("dati.txt"));
}

TEST_F(AvayaRunTest, RecordTheBuffersCannotTakeReports7008AndEndsTheRun) {
  WriteIni(kAvayaSite);
  maxBufferBytes = 9000;  // the buffers start at 8192
  fake.onRegister = [] {
    const std::string huge(10000, 'x');
    g_fake->callLog(1, huge.c_str());
    g_fake->callLog(1, "small");
  };
  RunOnce();
  EXPECT_EQ(Reports(Message::kError), std::vector<std::uint32_t>{msg::kBufferAlloc});
  EXPECT_EQ(fake.Calls().back(), "DLClose 1");
  // The record after it still fits and is kept.
  EXPECT_EQ(dir.Read("dati.txt"), "\r\n0001 small\r\n");
}

TEST_F(AvayaRunTest, AnotherSiteComingDueEndsTheRunAtTheNextMinute) {
  // 0002 comes due 30 s into the run, before 0001's next hour; the run
  // looks once a minute.
  Keys periodic = kAvayaSite;
  periodic["Ricorrenza"] = "-1";
  WriteIni(periodic, "[0002]\r\nRicorrenza=-1\r\nOgni=3600\r\nSitoAbilitato=1\r\n"
                       "Ora=10.30 01-01-2010\r\n");
  config.sites.back().nextRun = clock.Now().seconds + 30;
  std::uint64_t startMs = 0;
  std::uint64_t closedMs = 0;
  fake.onRegister = [&] { startMs = clock.TickMs(); };
  fake.onClose = [&] { closedMs = clock.TickMs(); };
  RunOnce();
  EXPECT_GE(closedMs - startMs, 60000u);
  EXPECT_LT(closedMs - startMs, 61000u);
}

}  // namespace
}  // namespace vr
