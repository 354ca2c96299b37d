// The real vesprec with an AVAYA site: the call-log library stand-in
// (libDevLink.so, copied into the program folder) connected over loopback
// to `vesper-sim avaya`. Data files are compared with what the simulator
// handed over.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/e2e_support.h"

namespace vr::e2e {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPassword = "segreta";
constexpr const char* k7006Text = "Attenzione. Errore nella lettura dei dati relativi alla sede.";

const char* StandInPath() { return VR_E2E_DEVLINK; }

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

class AvayaEndToEnd : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    pty_ = "avaya-e2e";  // the Com name: only the instance's lock and socket go by it
  }

  // Starts vesper-sim avaya with `args`; address_ is what it listens on.
  void StartAvayaSim(std::vector<std::string> args) {
    args.insert(args.begin(), {VesperSimPath(), "avaya", "--password", kPassword, "--sent",
                               File("sent.txt")});
    sim_ = std::make_unique<Process>(args, Env(), File("sim.out"), File("sim.err"));
    ASSERT_GT(sim_->pid(), 0);
    ASSERT_TRUE(
        PollUntil([&] { return Read("sim.out").find('\n') != std::string::npos; }, kStartDeadline))
        << Read("sim.err");
    address_ = Read("sim.out").substr(0, Read("sim.out").find('\n'));
  }

  void InstallStandIn() {
    std::filesystem::copy_file(StandInPath(), File("libDevLink.so"));
  }

  Keys AvayaSite() const {
    Keys keys = ComSite(true);
    SetKey(keys, "Dispositivo", "AVAYA");
    SetKey(keys, "IndirizzoIP", address_);
    SetKey(keys, "Password", kPassword);
    return keys;
  }

  std::string SimSays() const { return Read("sim.err"); }
  // Records the simulator handed over, as it numbers them from 1.
  std::vector<std::string> SentRecords() const { return CrLfLines(Read("sent.txt")); }
  // The records in the data file, without their headers.
  std::vector<std::string> StoredRecords() const {
    std::vector<std::string> records;
    for (const std::string& line : CrLfLines(Read("dati.txt")))
      if (!line.empty()) records.push_back(line.rfind("0001 ", 0) == 0 ? line.substr(5) : "?" + line);
    return records;
  }

  std::string address_ = "127.0.0.1:9";
};

TEST_F(AvayaEndToEnd, RecordArrivesWithTheHeaderAndCrLf) {
  dir_.Write("records.txt", "abc\n");
  ASSERT_NO_FATAL_FAILURE(StartAvayaSim({"--file", File("records.txt"), "--rate", "10"}));
  InstallStandIn();
  ASSERT_NO_FATAL_FAILURE(WriteIni(AvayaSite()));
  StartRecorder();
  ASSERT_TRUE(PollUntil([&] { return Read("storico.txt").size() >= 11; }, kReceiveDeadline));
  EXPECT_EQ(Quit(), 0);
  for (const char* file : {"dati.txt", "dati2.txt", "storico.txt"})
    EXPECT_EQ(Read(file), "\r\n0001 abc\r\n") << file;
  const std::string shown = Read("vesprec.out");
  EXPECT_NE(shown.find("importazione: 0001 \r\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("avaya connected (comstate = 0, param1= 1) \r\n"), std::string::npos);
  EXPECT_NE(shown.find("avaya disconnected \r\n"), std::string::npos);
}

TEST_F(AvayaEndToEnd, SectionWithoutPasswordReports7006OnceAndALaterRunEndsAtOnce) {
  Keys keys = AvayaSite();
  keys.erase(std::remove_if(keys.begin(), keys.end(),
                            [](const auto& k) { return k.first == "Password"; }),
             keys.end());
  InstallStandIn();
  ASSERT_NO_FATAL_FAILURE(WriteIni(keys));
  StartRecorder();
  // Logged as the site's report and as the warning shown.
  ASSERT_TRUE(PollUntil([&] { return CountOf(Log(), k7006Text) == 2; }, kReceiveDeadline));
  ASSERT_TRUE(PollUntil([&] { return Status()["warnings"] == "7006"; }, kReceiveDeadline));
  // The site was disabled; started by hand while the warning is pending,
  // its runs end at once and say nothing.
  EXPECT_EQ(Ctl({"start", kSite}).status, 0);
  ASSERT_TRUE(PollUntil([&] { return Status()["site"] == kSite; }, kReceiveDeadline));
  std::this_thread::sleep_for(3s);  // runs of a second each: a report would have come
  EXPECT_EQ(CountOf(Log(), k7006Text), 2) << Log();
  EXPECT_EQ(CountOf(Read("vesprec.err"), k7006Text), 1);
  EXPECT_EQ(CountOf(Read("vesprec.out"), "importazione"), 0);
  EXPECT_EQ(Quit(), 0);
}

TEST_F(AvayaEndToEnd, MissingLibraryGivesTheMissingReportAndNoPost) {
  ASSERT_NO_FATAL_FAILURE(StartAvayaSim({}));
  ASSERT_NO_FATAL_FAILURE(WriteIni(AvayaSite()));  // no libDevLink.so anywhere
  StartRecorder();
  ASSERT_TRUE(PollUntil([&] { return Status()["box"] == "DevLink.dll is missing."; }, kReceiveDeadline));
  ASSERT_TRUE(PollUntil(
      [&] { return CountOf(Read("vesprec.err"), "DevLink.dll is missing.") == 1; }, kReceiveDeadline));
  EXPECT_EQ(Quit(), 0);
  // The start, the box and the close: no report through the main window.
  std::vector<std::string> log = CrLfLines(Log());
  log.erase(std::remove(log.begin(), log.end(), std::string()), log.end());
  ASSERT_EQ(log.size(), 3u) << Log();
  EXPECT_NE(log[1].find("DevLink.dll is missing."), std::string::npos);
  EXPECT_EQ(SimSays().find("link up"), std::string::npos);
  EXPECT_EQ(Read("dati.txt"), "");
}

TEST_F(AvayaEndToEnd, DroppedAndRestoredLinkLosesNoRecordSentAfterTheRestore) {
  constexpr int kRecords = 150;
  ASSERT_NO_FATAL_FAILURE(
      StartAvayaSim({"--records", std::to_string(kRecords), "--rate", "50", "--drop-after", "40"}));
  InstallStandIn();
  ASSERT_NO_FATAL_FAILURE(WriteIni(AvayaSite()));
  StartRecorder();
  ASSERT_TRUE(PollUntil([&] { return SentRecords().size() == kRecords; }, kReceiveDeadline))
      << SimSays();
  const std::string says = SimSays();
  const std::size_t up2 = says.find("link up 2 after ");
  ASSERT_NE(up2, std::string::npos) << says;
  const std::size_t restoredAt = std::stoul(says.substr(up2 + 16));
  const std::vector<std::string> sent = SentRecords();
  // Everything sent after the restore, in order, at the end of the file:
  // once the last record sent is stored (a count would be reached early by
  // the records stored before the drop).
  ASSERT_TRUE(PollUntil(
      [&] {
        const std::vector<std::string> stored = StoredRecords();
        return !stored.empty() && stored.back() == sent.back();
      },
      kReceiveDeadline))
      << StoredRecords().size() << " records stored";
  EXPECT_EQ(Quit(), 0);
  const std::vector<std::string> stored = StoredRecords();
  const std::vector<std::string> afterRestore(sent.begin() + static_cast<long>(restoredAt),
                                              sent.end());
  ASSERT_GE(stored.size(), afterRestore.size());
  EXPECT_EQ(std::vector<std::string>(stored.end() - static_cast<long>(afterRestore.size()),
                                     stored.end()),
            afterRestore);
  // Nothing else but what was sent, none twice, in the order sent.
  std::size_t at = 0;
  for (const std::string& record : stored) {
    while (at < sent.size() && sent[at] != record) ++at;
    ASSERT_LT(at, sent.size()) << "stored but not sent in this order: " << record;
    ++at;
  }
  EXPECT_EQ(CountOf(Read("vesprec.out"), "avaya connected (comstate = 0"), 2);
}

TEST_F(AvayaEndToEnd, CtlStopEndsTheRunWithDlClose) {
  ASSERT_NO_FATAL_FAILURE(StartAvayaSim({"--records", "0", "--rate", "20"}));
  InstallStandIn();
  ASSERT_NO_FATAL_FAILURE(WriteIni(AvayaSite()));
  StartRecorder();
  ASSERT_TRUE(PollUntil([&] { return StoredRecords().size() >= 3; }, kReceiveDeadline));
  EXPECT_EQ(Ctl({"stop"}).status, 0);
  // DLClose closed the link: the simulator sees it go, and stops making records.
  ASSERT_TRUE(PollUntil([&] { return SimSays().find("link closed by the client") != std::string::npos; },
                        kReceiveDeadline));
  ASSERT_TRUE(PollUntil([&] { return Status()["state"] == "idle"; }, kReceiveDeadline));
  EXPECT_NE(Read("vesprec.out").find("avaya disconnected \r\n"), std::string::npos);
  EXPECT_EQ(Quit(), 0);
  EXPECT_EQ(StoredRecords(), SentRecords());
}

TEST_F(AvayaEndToEnd, BurstOf10000RecordsIsStoredCompleteAndInOrder) {
  constexpr int kRecords = 10000;
  ASSERT_NO_FATAL_FAILURE(StartAvayaSim({"--records", std::to_string(kRecords), "--rate", "0"}));
  InstallStandIn();
  ASSERT_NO_FATAL_FAILURE(WriteIni(AvayaSite()));
  StartRecorder();
  ASSERT_TRUE(PollUntil([&] { return CountOf(Read("storico.txt"), "\r\n") >= kRecords + 1; },
                        kReceiveDeadline))
      << CountOf(Read("storico.txt"), "\r\n");
  EXPECT_EQ(Quit(), 0);
  const std::string sent = Read("sent.txt");
  ASSERT_EQ(CountOf(sent, "\r\n"), kRecords);
  for (const char* file : {"dati.txt", "dati2.txt", "storico.txt"})
    EXPECT_EQ(Read(file), ExpectedData(kSite, sent)) << file;
}

}  // namespace
}  // namespace vr::e2e
