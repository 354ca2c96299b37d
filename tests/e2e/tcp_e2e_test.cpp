// The real vesprec reading an exchange over TCP, against vesper-sim on
// loopback: Com=tcp:HOST:PORT (the recorder connects) and
// Com=tcp-listen:ADDRESS:PORT (the exchange connects). The data files hold,
// byte for byte, what the exchange printed, also across a dropped and
// restored connection.
//
// Real processes need real time: every wait polls with a generous deadline,
// and no assertion is about how long something took.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/e2e_support.h"
#include "line/socket.h"

namespace vr::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kReceiveDeadline = 30s;
constexpr auto kStopDeadline = 20s;
constexpr int kRecords = 60;

class TcpEndToEnd : public EndToEndTest {
 protected:
  void TearDown() override {
    if (HasFailure()) std::cerr << Diagnostics();
    if (recorder_) recorder_->Stop(10s);
    if (sim_) sim_->Stop(5s);
    if (second_) second_->Stop(5s);
  }

  // vesper-sim with args; its first line of output names where it plays.
  std::unique_ptr<Process> StartTcpSim(std::vector<std::string> args, const std::string& name,
                                       std::string* firstLine) {
    args.insert(args.begin(), VesperSimPath());
    args.insert(args.end(), {"--sent", File(name + ".sent")});
    auto sim = std::make_unique<Process>(args, Env(), File(name + ".out"), File(name + ".err"));
    EXPECT_GT(sim->pid(), 0);
    PollUntil(
        [&] {
          const std::string out = Read(name + ".out");
          const std::size_t end = out.find('\n');
          if (end == std::string::npos) return !sim->Running();
          *firstLine = out.substr(0, end);
          return true;
        },
        10s);
    return sim;
  }

  void StartRecorder(const std::string& com) {
    ASSERT_TRUE(WriteFileAtomically(
        File("VESPREC.INI"), "[General]\r\nCom=" + com + "\r\nLog=" + File("vrec.log") +
                                 "\r\n" + IniSection(kSite, ComSite(true))));
    recorder_ = std::make_unique<Process>(
        std::vector<std::string>{VesprecPath(), "--dir", dir_.Path()}, Env(),
        File("vesprec.out"), File("vesprec.err"));
    ASSERT_GT(recorder_->pid(), 0);
  }

  std::uint64_t Lines() {
    const CommandResult r =
        RunCommand({VesprecPath(), "ctl", "--dir", dir_.Path(), "status"}, Env(), dir_.Path(), 20s);
    if (r.status != 0) return 0;
    auto status = ParseStatus(r.out);
    return std::stoull("0" + status["lines"]);
  }
  bool WaitForLines(std::uint64_t lines) {
    return PollUntil([&] { return Lines() >= lines; }, kReceiveDeadline);
  }
  bool WaitForLog(const std::string& text, int count = 1) {
    return PollUntil([&] { return CountOf(Read("vrec.log"), text) >= count; }, kReceiveDeadline);
  }

  int Quit() {
    const CommandResult r =
        RunCommand({VesprecPath(), "ctl", "--dir", dir_.Path(), "quit"}, Env(), dir_.Path(), 20s);
    EXPECT_EQ(r.status, 0) << r.err;
    return recorder_->WaitForExit(kStopDeadline).value_or(-1);
  }

  // Every record the exchange printed, once, in order, in all three files.
  void ExpectEveryRecordOnce(const std::string& sentName) {
    const std::string sent = Read(sentName);
    EXPECT_EQ(CountOf(sent, "\r\n"), kRecords);
    const std::string expected = ExpectedData(kSite, sent);
    EXPECT_EQ(Read("dati.txt"), expected);
    EXPECT_EQ(Read("dati2.txt"), expected);
    EXPECT_EQ(Read("storico.txt"), expected);
  }

  std::string Diagnostics() const {
    return "--- " + File("") + "\n--- VESPREC.INI\n" + Read("VESPREC.INI") + "--- log\n" +
           Read("vrec.log") + "--- vesprec stderr\n" + Read("vesprec.err") +
           "--- vesper-sim stderr\n" + Read("sim.err") + Read("second.err") + "---\n";
  }

  // A loopback port that was free a moment ago.
  static std::string FreePort() {
    std::uint32_t error = 0;
    const net::SocketHandle probe = net::Listen("127.0.0.1", "0", error);
    const std::string port = net::LocalPort(probe);
    net::Close(probe);
    return port;
  }

  std::unique_ptr<Process> second_;
};

TEST_F(TcpEndToEnd, RecorderConnectsAndResumesAfterTheExchangeDroppedTheLink) {
  std::string where;
  sim_ = StartTcpSim({"exchange", "--records", std::to_string(kRecords), "--rate", "20", "--tcp",
                      "127.0.0.1:0", "--drop-link", "--exit-when-done"},
                     "sim", &where);
  ASSERT_FALSE(where.empty());
  const std::string com = "tcp:" + where;
  ASSERT_NO_FATAL_FAILURE(StartRecorder(com));
  ASSERT_TRUE(WaitForLines(15)) << Lines();
  ASSERT_TRUE(sim_->Signal(SIGUSR2));
  // The drop is said once, the return once, and the records go on.
  ASSERT_TRUE(WaitForLog("Connessione " + com + " persa"));
  ASSERT_TRUE(WaitForLog("Connessione " + com + " di nuovo attiva"));
  ASSERT_TRUE(WaitForLines(kRecords)) << Lines();
  ASSERT_TRUE(sim_->WaitForExit(kStopDeadline).has_value()) << "vesper-sim did not finish";
  EXPECT_EQ(Quit(), 0);
  ExpectEveryRecordOnce("sim.sent");
  // The drop, and the exchange's end once it had printed everything.
  EXPECT_EQ(CountOf(Read("vrec.log"), " persa"), 2);
}

TEST_F(TcpEndToEnd, ExchangeConnectsOneAtATimeAndARestartedOneResumes) {
  const std::string port = FreePort();
  const std::string com = "tcp-listen:127.0.0.1:" + port;
  ASSERT_NO_FATAL_FAILURE(StartRecorder(com));
  // The recorder listens before the exchange comes.
  ASSERT_TRUE(PollUntil(
      [&] {
        const net::ConnectStart probe = net::StartConnect("127.0.0.1", port);
        if (probe.socket == net::kNoSocket) return false;
        net::Wait(probe.socket, false, true, net::kNoSocket, 1000, nullptr);
        const bool up = net::ConnectError(probe.socket) == 0;
        net::Close(probe.socket);
        return up;
      },
      kReceiveDeadline));

  std::string where;
  sim_ = StartTcpSim({"exchange", "--records", std::to_string(kRecords), "--rate", "20",
                      "--tcp-connect", "127.0.0.1:" + port, "--drop-link", "--exit-when-done"},
                     "sim", &where);
  ASSERT_TRUE(WaitForLines(15)) << Lines();
  // A second exchange is turned away while the first is connected, and said
  // so once however often it tries.
  second_ = StartTcpSim({"exchange", "--records", "5", "--tcp-connect", "127.0.0.1:" + port,
                         "--seed", "7"},
                        "second", &where);
  ASSERT_TRUE(WaitForLog("rifiutata"));
  ASSERT_TRUE(PollUntil([&] { return CountOf(Read("second.err"), "connected") >= 3; },
                        kReceiveDeadline));
  second_->Stop(5s);
  EXPECT_EQ(CountOf(Read("vrec.log"), "rifiutata"), 1);

  ASSERT_TRUE(sim_->Signal(SIGUSR2));
  ASSERT_TRUE(WaitForLines(kRecords)) << Lines();
  ASSERT_TRUE(sim_->WaitForExit(kStopDeadline).has_value()) << "vesper-sim did not finish";
  EXPECT_EQ(Quit(), 0);
  ExpectEveryRecordOnce("sim.sent");
  // Taken: the probe that saw the recorder listen, and the first exchange
  // before and after its drop; the second exchange's never.
  const std::string log = Read("vrec.log");
  EXPECT_EQ(CountOf(log, "Connessione " + com + " da ") - CountOf(log, "rifiutata"), 3);
}

}  // namespace
}  // namespace vr::e2e
