// The real vesprec against vesper-sim on a pty: every test makes a fresh
// program folder with its VESPREC.INI, runs both programs, drives the
// recorder through `vesprec ctl` and signals as a user would, and compares
// the data files byte for byte with what the simulator handed over.
//
// Real processes need real time: every wait polls with a generous deadline,
// and no assertion is about how long something took.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/e2e_support.h"

namespace vr::e2e {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDataFileBusyLine = "Il file dati non è disponibile.";  // 9001

// The value of `key` in [section] of an INI text; empty when absent.
std::string IniValue(const std::string& ini, const std::string& section, const std::string& key) {
  const std::size_t at = ini.find("[" + section + "]");
  if (at == std::string::npos) return {};
  std::size_t line = ini.find('\n', at);
  while (line != std::string::npos && line + 1 < ini.size()) {
    const std::size_t start = line + 1;
    if (ini[start] == '[') break;
    line = ini.find('\n', start);
    const std::string text =
        ini.substr(start, (line == std::string::npos ? ini.size() : line) - start);
    if (text.rfind(key + "=", 0) == 0) {
      std::string value = text.substr(key.size() + 1);
      while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
      return value;
    }
  }
  return {};
}

class RecorderEndToEnd : public EndToEndTest {
 protected:
  std::string Sent() const { return Read("sent.txt"); }

  std::string Ini() const { return Read("VESPREC.INI"); }

  int ConnectionsClosed() const { return CountOf(Log(), kPortClosedLine); }
  bool WaitForConnectionsClosed(int count) {
    return PollUntil([&] { return ConnectionsClosed() >= count; }, kStopDeadline);
  }

  // After the recorder has let go of the line, the simulator must print
  // nothing more (the exchange was left held). Waits a little and checks.
  void ExpectSimulatorStaysHeld() {
    const std::string before = Sent();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Sent().size(), before.size()) << "the exchange went on printing after the recorder";
  }

  int Terminate() {
    EXPECT_TRUE(recorder_->Signal(SIGTERM));
    const std::optional<int> status = recorder_->WaitForExit(kStopDeadline);
    EXPECT_TRUE(status.has_value()) << "vesprec did not end after SIGTERM";
    return status.value_or(-1);
  }

  void ExpectAllDataFiles(const std::string& expected) {
    EXPECT_EQ(Read("dati.txt"), expected);
    EXPECT_EQ(Read("dati2.txt"), expected);
    EXPECT_EQ(Read("storico.txt"), expected);
  }
};

TEST_F(RecorderEndToEnd, ContinuousComSiteWithXonXoffStoresEveryRecord) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", "40", "--rate", "20"}));
  ASSERT_NO_FATAL_FAILURE(WriteIni(ComSite(true)));
  StartRecorder();
  ASSERT_TRUE(WaitForLines(40)) << "lines: " << Lines();
  // Connected while it prints: the status says so.
  auto status = Status();
  EXPECT_EQ(status["site"], kSite);
  EXPECT_TRUE(status["state"] == "receiving" || status["state"] == "held") << status["state"];
  EXPECT_EQ(status["lines"], "40");
  // The title counts the lines of every chunk shown, the last one too.
  const std::string title = "Vesper Recorder " + pty_ + "  0001  40 Linee ricevute";
  EXPECT_TRUE(PollUntil([&] { return Status()["title"] == title; }, kStopDeadline))
      << Status()["title"];

  EXPECT_EQ(Quit(), 0);
  const std::string sent = Sent();
  EXPECT_EQ(CountOf(sent, "\r\n"), 40);
  const std::string expected = ExpectedData(kSite, sent);
  ExpectAllDataFiles(expected);
  // The console shows the processed text, as it was stored.
  EXPECT_EQ(Read("vesprec.out"), expected);
  EXPECT_EQ(IniValue(Ini(), kSite, "FlagCRLF"), "0");
  EXPECT_EQ(CountOf(Log(), kPortClosedLine), 1);
  EXPECT_EQ(CountOf(Log(), kCloseLine), 1);
  // Gone: no instance answers for the port any more.
  EXPECT_EQ(Ctl({"status"}).status, 1);
}

TEST_F(RecorderEndToEnd, PeriodicSiteEndsOnItsImportTimeOutAndWritesOraAndFlagCrlf) {
  // Records ending in a lone CR: the recorder makes each CR a CR LF, and
  // keeps the LF that may still follow the last one in FlagCRLF (10).
  ASSERT_NO_FATAL_FAILURE(
      StartSim({"exchange", "--records", "12", "--rate", "20", "--line-end", "cr"}));
  ASSERT_NO_FATAL_FAILURE(WriteIni(ComSite(false)));
  const std::int64_t startedAt = LocalSecondsNow();
  StartRecorder();
  ASSERT_TRUE(WaitForLines(1));
  // The schedule moved on and was written before the connection began.
  const std::string oraDuring = IniValue(Ini(), kSite, "Ora");
  ASSERT_TRUE(WaitForConnectionsClosed(1)) << "the connection did not end on its time-out";
  const std::int64_t endedAt = LocalSecondsNow();

  // The port is closed before the worker ends its pass and counts the last
  // lines: the status is read once it is idle again.
  std::map<std::string, std::string> status;
  EXPECT_TRUE(PollUntil([&] { return (status = Status())["state"] == "idle"; }, kStopDeadline))
      << status["state"];
  EXPECT_EQ(status["lines"], "12");
  const std::string sent = Sent();
  EXPECT_EQ(CountOf(sent, "\r"), 12);
  ExpectAllDataFiles(ExpectedData(kSite, sent));
  const std::string ini = Ini();
  const std::string ora = IniValue(ini, kSite, "Ora");
  EXPECT_TRUE(ora == NextHourOra(startedAt) || ora == NextHourOra(endedAt)) << ora;
  EXPECT_EQ(oraDuring, ora);
  EXPECT_EQ(IniValue(ini, kSite, "FlagCRLF"), "10");
  // Not due again for an hour: it stays idle, and one connection was made.
  EXPECT_EQ(Terminate(), 0);
  EXPECT_EQ(ConnectionsClosed(), 1);
}

TEST_F(RecorderEndToEnd, KstbBoxIsEmptiedToItsStatus) {
  ASSERT_NO_FATAL_FAILURE(
      StartSim({"box", "--model", "KSTB", "--records", "20", "--baud", "115200"}));
  Keys site = ComSite(false);
  SetKey(site, "Dispositivo", "KSTB");
  SetKey(site, "Baud", "115200");
  ASSERT_NO_FATAL_FAILURE(WriteIni(site));
  StartRecorder();
  ASSERT_TRUE(WaitForConnectionsClosed(1));
  EXPECT_EQ(Terminate(), 0);
  EXPECT_TRUE(sim_->Stop(5s).has_value());
  const std::string delivered = Sent();
  // Every record the box held was acknowledged, so the box is empty.
  EXPECT_EQ(CountOf(delivered, "\r\n"), 20);
  ExpectAllDataFiles(ExpectedData(kSite, delivered));
}

TEST_F(RecorderEndToEnd, KstdBoxIsEmptiedToItsStatus) {
  ASSERT_NO_FATAL_FAILURE(StartSim(
      {"box", "--model", "KSTD", "--records", "40", "--block-bytes", "300", "--baud", "115200"}));
  Keys site = ComSite(false);
  SetKey(site, "Dispositivo", "KSTD");
  SetKey(site, "Baud", "115200");
  ASSERT_NO_FATAL_FAILURE(WriteIni(site));
  StartRecorder();
  ASSERT_TRUE(WaitForConnectionsClosed(1));
  EXPECT_EQ(Terminate(), 0);
  EXPECT_TRUE(sim_->Stop(5s).has_value());
  const std::string delivered = Sent();
  EXPECT_EQ(CountOf(delivered, "\r\n"), 40);
  ExpectAllDataFiles(ExpectedData(kSite, delivered));
}

TEST_F(RecorderEndToEnd, KstdBoxThroughTheAlternativeLoop) {
  ASSERT_NO_FATAL_FAILURE(StartSim(
      {"box", "--model", "KSTD", "--records", "25", "--block-bytes", "256", "--baud", "115200"}));
  Keys site = ComSite(false);
  SetKey(site, "Dispositivo", "KSTD");
  SetKey(site, "Baud", "115200");
  SetKey(site, "MetodoAlternativo", "1");
  ASSERT_NO_FATAL_FAILURE(WriteIni(site));
  StartRecorder();
  // The loop ends on the box's empty block and the worker goes idle.
  ASSERT_TRUE(WaitForLines(25));
  ASSERT_TRUE(PollUntil([&] { return Status()["state"] == "idle"; }, kStopDeadline));
  EXPECT_EQ(Terminate(), 0);
  EXPECT_TRUE(sim_->Stop(5s).has_value());
  const std::string delivered = Sent();
  EXPECT_EQ(CountOf(delivered, "\r\n"), 25);
  ExpectAllDataFiles(ExpectedData(kSite, delivered));
}

TEST_F(RecorderEndToEnd, HeldDataFileOverflowsAndIsPouredBackInOrder) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", "80", "--rate", "10"}));
  ASSERT_NO_FATAL_FAILURE(WriteIni(ComSite(true)));
  StartRecorder();
  ASSERT_TRUE(WaitForLines(5));

  // A stand-in importer: it locks the data file as the accounting program
  // does, keeps it for several chunks, takes what it holds and empties it.
  const std::string overflow = File("0001dati_D.TXT");
  std::string taken;
  {
    const int fd = open(File("dati.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const std::uint64_t linesAtLock = Lines();
    // Lines are counted as they are read, before their chunk is stored: held
    // until those chunks are in the overflow file.
    EXPECT_TRUE(PollUntil(
        [&] { return Lines() >= linesAtLock + 30 && !ReadFile(overflow).empty(); },
        kReceiveDeadline))
        << "lines: " << Lines() << ", nothing went to the overflow file";
    taken = ReadFile(File("dati.txt"));
    EXPECT_EQ(ftruncate(fd, 0), 0);
    flock(fd, LOCK_UN);
    close(fd);
  }
  ASSERT_TRUE(WaitForLines(80));
  // The worker pours the overflow file back as soon as the file is free.
  EXPECT_TRUE(PollUntil([&] { return ReadFile(overflow).empty(); }, kStopDeadline));
  EXPECT_EQ(Quit(), 0);

  const std::string expected = ExpectedData(kSite, Sent());
  EXPECT_EQ(CountOf(Sent(), "\r\n"), 80);
  EXPECT_EQ(taken + Read("dati.txt"), expected);
  EXPECT_EQ(Read("dati2.txt"), expected);
  EXPECT_EQ(Read("storico.txt"), expected);
  EXPECT_EQ(ReadFile(overflow), "");
  EXPECT_GE(CountOf(Log(), kDataFileBusyLine), 1);
}

// The value after "KEY": in a JSON text, from `from` on: up to the next
// ',', ']' or '}' (the status's strings hold none of them).
std::string JsonValue(const std::string& json, const std::string& key, std::size_t from = 0) {
  const std::string marker = "\"" + key + "\":";
  const std::size_t at = json.find(marker, from);
  if (at == std::string::npos) return "<none>";
  const std::size_t start = at + marker.size();
  return json.substr(start, json.find_first_of(",]}", start) - start);
}

TEST_F(RecorderEndToEnd, JsonStatusCountsTheSiteAndItsOverflowFile) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", "20", "--rate", "20"}));
  ASSERT_NO_FATAL_FAILURE(WriteIni(ComSite(true)));
  // The importer holds the data file from the start: everything overflows.
  const int fd = open(File("dati.txt").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  StartRecorder();
  ASSERT_TRUE(WaitForLines(20)) << "lines: " << Lines();

  const std::string overflow = File("0001dati_D.TXT");
  std::string json;
  auto sites = [&] { return json.find("\"sites\":"); };
  auto jsonStatus = [&] {
    const CommandResult r = Ctl({"status", "--json"});
    json = r.status == 0 ? r.out : "";
    return !json.empty();
  };
  // Stored and measured: the counts and the file's size agree.
  EXPECT_TRUE(PollUntil(
      [&] {
        return jsonStatus() && JsonValue(json, "records", sites()) == "20" &&
               JsonValue(json, "overflow_bytes", sites()) ==
                   std::to_string(ReadFile(overflow).size());
      },
      kReceiveDeadline))
      << json;
  EXPECT_EQ(json.front(), '{');
  EXPECT_EQ(json.substr(json.size() - 3), "]}\n");
  EXPECT_EQ(JsonValue(json, "port"), "\"" + pty_ + "\"");
  EXPECT_EQ(JsonValue(json, "pid"), std::to_string(recorder_->pid()));
  EXPECT_EQ(JsonValue(json, "site"), "\"0001\"");
  EXPECT_EQ(JsonValue(json, "lines"), "20");
  EXPECT_EQ(JsonValue(json, "code", sites()), "\"0001\"");
  EXPECT_EQ(JsonValue(json, "in_schedule", sites()), "true");
  EXPECT_NE(JsonValue(json, "last_record", sites()), "null");
  EXPECT_EQ(JsonValue(json, "bytes", sites()), std::to_string(ReadFile(overflow).size()));
  EXPECT_EQ(JsonValue(json, "rescue_bytes", sites()), "0");
  EXPECT_EQ(ReadFile(File("dati.txt")), "");

  // Let go: poured back, the overflow file measures 0 again.
  flock(fd, LOCK_UN);
  close(fd);
  EXPECT_TRUE(PollUntil(
      [&] { return jsonStatus() && JsonValue(json, "overflow_bytes", sites()) == "0"; },
      kStopDeadline))
      << json;
  EXPECT_EQ(Quit(), 0);
  ExpectAllDataFiles(ExpectedData(kSite, Sent()));
}

TEST_F(RecorderEndToEnd, CtlStopEndsTheConnectionAndTheSiteWaitsForStart) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", "0", "--rate", "10"}));
  ASSERT_NO_FATAL_FAILURE(WriteIni(ComSite(true)));
  StartRecorder();
  ASSERT_TRUE(WaitForLines(5));
  const CommandResult stop = Ctl({"stop"});
  EXPECT_EQ(stop.status, 0) << stop.err;
  ASSERT_TRUE(WaitForConnectionsClosed(1));
  ASSERT_TRUE(PollUntil([&] { return Status()["state"] == "idle"; }, kStopDeadline));
  // A continuous site that was stopped stays off, and the exchange held.
  ExpectSimulatorStaysHeld();
  EXPECT_EQ(Status()["state"], "idle");
  const std::string firstPart = Sent();
  EXPECT_EQ(Read("dati.txt"), ExpectedData(kSite, firstPart));

  // Started again from the sites menu: the exchange goes on where it stopped.
  const std::uint64_t linesBefore = Lines();
  const CommandResult start = Ctl({"start", kSite});
  EXPECT_EQ(start.status, 0) << start.err;
  ASSERT_TRUE(WaitForLines(linesBefore + 5));
  EXPECT_EQ(Quit(), 0);
  ExpectSimulatorStaysHeld();
  ExpectAllDataFiles(ExpectedData(kSite, Sent(), {firstPart.size()}));
  EXPECT_EQ(ConnectionsClosed(), 2);
}

TEST_F(RecorderEndToEnd, CtlReloadReadsTheConfigurationAgainDuringReception) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", "0", "--rate", "10"}));
  Keys site = ComSite(true);
  ASSERT_NO_FATAL_FAILURE(WriteIni(site));
  StartRecorder();
  ASSERT_TRUE(WaitForLines(5));
  // The main data file moves; the reload ends the connection, and the next
  // one writes where the file now says.
  SetKey(site, "Dati", File("dati-new.txt"));
  ASSERT_NO_FATAL_FAILURE(WriteIni(site));
  const CommandResult reload = Ctl({"reload"});
  EXPECT_EQ(reload.status, 0) << reload.err;
  ASSERT_TRUE(WaitForConnectionsClosed(1));
  ASSERT_TRUE(
      PollUntil([&] { return CountOf(Read("dati-new.txt"), "\r\n") >= 5; }, kReceiveDeadline));
  EXPECT_EQ(Quit(), 0);
  ExpectSimulatorStaysHeld();

  // Where the first connection ended is where the exchange was held; find
  // it from the first file, then the rest must be in the new one.
  const std::string sent = Sent();
  const std::string first = Read("dati.txt");
  const std::string second = Read("dati-new.txt");
  std::optional<std::size_t> cut;
  for (std::size_t c = 0; c <= sent.size() && !cut; ++c) {
    DataFileModel model(kSite);
    if (model.Connection(std::string_view(sent).substr(0, c)) != first) continue;
    if (model.Connection(std::string_view(sent).substr(c)) == second) cut = c;
  }
  ASSERT_TRUE(cut.has_value()) << "the two data files are not the exchange's text split in two";
  EXPECT_GT(*cut, 0u);
  EXPECT_LT(*cut, sent.size());
  EXPECT_EQ(Read("dati2.txt"), ExpectedData(kSite, sent, {*cut}));
  EXPECT_EQ(Read("storico.txt"), ExpectedData(kSite, sent, {*cut}));
  EXPECT_EQ(ConnectionsClosed(), 2);
}

TEST_F(RecorderEndToEnd, SigtermDuringReceptionStopsInOrder) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", "0", "--rate", "10"}));
  ASSERT_NO_FATAL_FAILURE(WriteIni(ComSite(true)));
  StartRecorder();
  ASSERT_TRUE(WaitForLines(5));
  EXPECT_EQ(Terminate(), 0);
  // The line was closed with the exchange held: nothing printed is lost.
  ExpectSimulatorStaysHeld();
  ExpectAllDataFiles(ExpectedData(kSite, Sent()));
  EXPECT_EQ(Read("vesprec.out"), Read("dati.txt"));
  EXPECT_EQ(ConnectionsClosed(), 1);
  const std::string log = Log();
  EXPECT_EQ(CountOf(log, kStartLine), 1);
  EXPECT_EQ(CountOf(log, kCloseLine), 1);
  EXPECT_GT(log.find(kCloseLine), log.rfind(kPortClosedLine));
  EXPECT_NE(Read("CorvinaServiceNT.log").find("SIGTERM"), std::string::npos);
  EXPECT_EQ(Ctl({"status"}).status, 1);
}

// A stop that lands at any moment of a fast stream loses nothing the line
// delivered: whatever the exchange printed before it was held is stored.
TEST_F(RecorderEndToEnd, StopsDuringAFastStreamLoseNoChunk) {
  for (const bool bySignal : {false, true}) {
    SCOPED_TRACE(bySignal ? "SIGTERM" : "ctl stop");
    TearDown();
    recorder_.reset();
    sim_.reset();
    for (const char* name : {"dati.txt", "dati2.txt", "storico.txt", "sent.txt", "vrec.log"})
      std::remove(File(name).c_str());
    ASSERT_NO_FATAL_FAILURE(
        StartSim({"exchange", "--records", "0", "--rate", "0", "--baud", "115200"}));
    Keys site = ComSite(true);
    SetKey(site, "Baud", "115200");
    ASSERT_NO_FATAL_FAILURE(WriteIni(site));
    StartRecorder();
    ASSERT_TRUE(WaitForLines(300));
    if (bySignal) {
      EXPECT_EQ(Terminate(), 0);
    } else {
      const CommandResult stop = Ctl({"stop"});
      EXPECT_EQ(stop.status, 0) << stop.err;
      ASSERT_TRUE(WaitForConnectionsClosed(1));
    }
    ExpectSimulatorStaysHeld();
    ExpectAllDataFiles(ExpectedData(kSite, Sent()));
    if (!bySignal) {
      EXPECT_EQ(Quit(), 0);
    }
  }
}

// A read time-out of 0 waits until its count is reached; a box that never
// answers must not make the recorder deaf to a stop.
TEST_F(RecorderEndToEnd, SilentBoxWithoutReadTimeOutStopsOnRequest) {
  ASSERT_NO_FATAL_FAILURE(
      StartSim({"box", "--model", "KSTB", "--fault", "silent", "--fault-times", "0"}));
  Keys site = ComSite(true);
  SetKey(site, "Dispositivo", "KSTB");
  SetKey(site, "STimeRead", "0");
  ASSERT_NO_FATAL_FAILURE(WriteIni(site));
  StartRecorder();
  ASSERT_TRUE(PollUntil([&] { return Status()["site"] == kSite; }, kStartDeadline));
  std::this_thread::sleep_for(1500ms);  // well inside a read that has no end
  const auto askedAt = std::chrono::steady_clock::now();
  const CommandResult stop = Ctl({"stop"});
  EXPECT_EQ(stop.status, 0) << stop.err;
  ASSERT_TRUE(WaitForConnectionsClosed(1));
  std::cerr << "[ stopped in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - askedAt)
                   .count()
            << " ms ]\n";
  // Idle once the worker has ended its pass, after the port was closed.
  EXPECT_TRUE(PollUntil([&] { return Status()["state"] == "idle"; }, kStopDeadline))
      << Status()["state"];
  EXPECT_EQ(Quit(), 0);
}

// A pseudo-terminal standing for a USB-serial adapter: the far end is the
// test itself, and the port's name is a symbolic link, as a
// /dev/serial/by-id name is.
class Adapter {
 public:
  explicit Adapter(std::string link) : link_(std::move(link)) {}
  ~Adapter() { Pull(); }
  bool Plug() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    // Not inherited by the programs the test starts: they would keep the
    // adapter "plugged in".
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    const char* slave = ptsname(master_);
    if (slave == nullptr) return false;
    std::remove(link_.c_str());
    return symlink(slave, link_.c_str()) == 0;
  }
  // The adapter goes away with its name.
  void Pull() {
    if (master_ >= 0) close(master_);
    master_ = -1;
    std::remove(link_.c_str());
  }
  bool Send(const std::string& bytes) {
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

 private:
  std::string link_;
  int master_ = -1;
};

std::string Records(int first, int count) {
  std::string text;
  for (int i = first; i < first + count; ++i)
    text += "RECORD " + std::to_string(i) + " 14/03/24 09:46:36  EXT 2214  TRK 18\r\n";
  return text;
}

// Milliseconds of CPU the process has used (user and system).
std::uint64_t CpuMs(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::size_t at = close + 2;
  while (at < stat.size()) {
    const std::size_t end = stat.find(' ', at);
    fields.push_back(stat.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  // utime and stime are fields 14 and 15 of the whole line.
  if (fields.size() < 13) return 0;
  const std::uint64_t ticks = std::stoull(fields[11]) + std::stoull(fields[12]);
  return ticks * 1000 / static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
}

TEST_F(RecorderEndToEnd, PulledAdapterComesBackByItselfAndNothingIsStoredTwice) {
  const std::string link = File("ttyUSB-by-id");
  Adapter adapter(link);
  ASSERT_TRUE(adapter.Plug());
  pty_ = link;
  Keys site = ComSite(true);
  SetKey(site, "Handshake", "NONE");
  ASSERT_NO_FATAL_FAILURE(WriteIni(site));
  StartRecorder();
  ASSERT_TRUE(PollUntil([&] { return Status()["state"] == "receiving"; }, kStartDeadline));
  const std::string before = Records(1, 20);
  ASSERT_TRUE(adapter.Send(before));
  ASSERT_TRUE(WaitForLines(20));

  adapter.Pull();
  ASSERT_TRUE(WaitForLog(" persa: ", 1, kStopDeadline));
  // Said before the connection is closed and the worker starts to look for
  // the port; the state that says it looks is the one to wait for.
  EXPECT_TRUE(PollUntil([&] { return Status()["state"] == "line-error"; }, kStopDeadline))
      << Status()["state"];
  // Missing for a while: looked for now and then, quietly, without a spin.
  const std::uint64_t cpuBeforeMs = CpuMs(recorder_->pid());
  std::this_thread::sleep_for(5s);
  const std::uint64_t cpuMissingMs = CpuMs(recorder_->pid()) - cpuBeforeMs;
  std::cerr << "[ CPU while the port was missing: " << cpuMissingMs << " ms in 5 s ]\n";
  EXPECT_LT(cpuMissingMs, 500u);

  ASSERT_TRUE(adapter.Plug());
  ASSERT_TRUE(WaitForLog("di nuovo disponibile", 1, kStopDeadline));
  ASSERT_TRUE(PollUntil([&] { return Status()["state"] == "receiving"; }, kStartDeadline));
  const std::string after = Records(21, 20);
  ASSERT_TRUE(adapter.Send(after));
  ASSERT_TRUE(WaitForLines(40));
  EXPECT_EQ(Quit(), 0);

  ExpectAllDataFiles(ExpectedData(kSite, before + after, {before.size()}));
  const std::string log = Log();
  EXPECT_EQ(CountOf(log, " persa: "), 1);
  EXPECT_EQ(CountOf(log, "di nuovo disponibile"), 1);
  EXPECT_EQ(CountOf(log, "7005"), 0);
}

TEST_F(RecorderEndToEnd, SecondInstanceForThePortIsRefused) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", "0", "--rate", "10"}));
  ASSERT_NO_FATAL_FAILURE(WriteIni(ComSite(true)));
  StartRecorder();
  ASSERT_TRUE(WaitForLines(3));
  const std::string firstPid = Status()["pid"];
  ASSERT_FALSE(firstPid.empty());

  std::unique_ptr<Process> second = StartRecorderProcess("second");
  const std::optional<int> secondStatus = second->WaitForExit(kStopDeadline);
  ASSERT_TRUE(secondStatus.has_value()) << "the second instance did not end";
  EXPECT_EQ(*secondStatus, 3);
  // It shows the running instance's status and logs its start and close.
  auto shown = ParseStatus(Read("second.out"));
  EXPECT_EQ(shown["pid"], firstPid) << Read("second.out");
  EXPECT_EQ(shown["port"], pty_);
  EXPECT_EQ(CountOf(Log(), kStartLine), 2);
  EXPECT_EQ(CountOf(Log(), kCloseLine), 1);

  // The first one goes on receiving undisturbed.
  const std::uint64_t lines = Lines();
  EXPECT_TRUE(WaitForLines(lines + 3));
  EXPECT_EQ(Status()["pid"], firstPid);
  EXPECT_EQ(Quit(), 0);
  ExpectAllDataFiles(ExpectedData(kSite, Sent()));
  EXPECT_EQ(CountOf(Log(), kStartLine), 2);
  EXPECT_EQ(CountOf(Log(), kCloseLine), 2);
}

}  // namespace
}  // namespace vr::e2e
