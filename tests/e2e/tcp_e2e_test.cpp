// The real vesprec reading an exchange over TCP, against vesper-sim on
// loopback: Com=tcp:HOST:PORT (the recorder connects) and
// Com=tcp-listen:ADDRESS:PORT (the exchange connects). The data files hold,
// byte for byte, what the exchange printed, also across a dropped and
// restored connection (a line the drop cut ends there), and what a pty site
// stores for the same bytes.
//
// Real processes need real time: every wait polls with a generous deadline,
// and no assertion is about how long something took.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/e2e_support.h"
#include "line/socket.h"

namespace vr::e2e {
namespace {

using namespace std::chrono_literals;

constexpr int kTcpRecords = 60;

class TcpEndToEnd : public EndToEndTest {
 protected:
  void TearDown() override {
    EndToEndTest::TearDown();
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
        kStartDeadline);
    return sim;
  }

  // The recorder on the line `com`, for a continuous COM site.
  void StartRecorderOn(const std::string& com) { StartRecorderWith(com, "", ComSite(true)); }

  // Every record the exchange printed, once, in order, in all three files.
  void ExpectEveryRecordOnce(const std::string& sentName) {
    const std::string sent = Read(sentName);
    EXPECT_EQ(CountOf(sent, "\r\n"), kTcpRecords);
    const std::string expected = ExpectedData(kSite, sent);
    EXPECT_EQ(Read("dati.txt"), expected);
    EXPECT_EQ(Read("dati2.txt"), expected);
    EXPECT_EQ(Read("storico.txt"), expected);
  }

  // The same across one dropped connection, which the exchange resumed with
  // what it had not written yet: where the drop cut a line, that line ends
  // there and the rest starts a line of its own, as a new connection's data
  // does; a drop between lines leaves no trace.
  void ExpectEveryRecordOnceAcrossOneDrop(const std::string& sentName) {
    const std::string sent = Read(sentName);
    EXPECT_EQ(CountOf(sent, "\r\n"), kTcpRecords);
    const std::string data = Read("dati.txt");
    std::string expected = ExpectedData(kSite, sent);
    for (std::size_t cut = 1; cut < sent.size() && data != expected; ++cut) {
      if (sent[cut - 1] == '\n' || sent[cut - 1] == '\r') continue;
      expected = ExpectedData(kSite, sent, {cut});
    }
    EXPECT_EQ(data, expected);
    EXPECT_EQ(Read("dati2.txt"), data);
    EXPECT_EQ(Read("storico.txt"), data);
  }

  // A loopback port that was free a moment ago.
  static std::string FreePort() {
    std::uint32_t error = 0;
    const net::SocketHandle probe = net::Listen("127.0.0.1", "0", error);
    const std::string port = net::LocalPort(probe);
    net::Close(probe);
    return port;
  }

  // The recorder with its own [General] keys besides Com and Log.
  void StartRecorderWith(const std::string& com, const std::string& generalKeys,
                         const Keys& site) {
    ASSERT_TRUE(WriteFileAtomically(File("VESPREC.INI"),
                                    "[General]\r\nCom=" + com + "\r\nLog=" + File("vrec.log") +
                                        "\r\n" + generalKeys + IniSection(kSite, site)));
    StartRecorder();
  }

  // The exchange's end of a connection to the recorder's listening line,
  // from a loopback address of its own choice; -1 until the recorder listens.
  static int ConnectFrom(const std::string& from, const std::string& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  static int ConnectWhenListening(const std::string& port) {
    int fd = -1;
    PollUntil([&] { return (fd = ConnectFrom("127.0.0.1", port)) >= 0; }, kReceiveDeadline);
    return fd;
  }

  // Reads fd until `byte` comes (the recorder's XON: it is receiving).
  static bool AwaitByte(int fd, std::uint8_t byte) {
    const auto end = std::chrono::steady_clock::now() + kReceiveDeadline;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 500) <= 0) continue;
      std::uint8_t buffer[256];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return false;
      for (ssize_t i = 0; i < n; ++i)
        if (buffer[i] == byte) return true;
    }
    return false;
  }

  static bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Whether the recorder closed the connection (read within the deadline).
  static bool SeesClosed(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kStopDeadline).count())) <= 0)
      return false;
    char byte = 0;
    return ::read(fd, &byte, 1) <= 0;
  }

  bool WaitForData(const std::string& expected) {
    return PollUntil([&] { return Read("dati.txt").size() >= expected.size(); },
                     kReceiveDeadline);
  }

  std::unique_ptr<Process> second_;
};

// One run of the recorder on a pty and one on a TCP line get the same bytes
// from the exchange: a NUL in and around records (EliminaNull=1), and the
// exchange's own XOFF and XON inside a record (Handshake=XON). Both store
// the same data file, the one without those bytes.
TEST_F(TcpEndToEnd, TcpSiteStoresWhatAPtySiteStoresForTheSameBytes) {
  using namespace std::string_literals;
  const std::string cases[] = {
      "0001 plain record\r\n"s,
      "0002 NUL\0inside\r\n"s,
      "\0"s + "0003 after a NUL\r\n"s,
      "0004 NUL before its end\0\r\n0005 next\r\n"s,
      "0006 XOFF\x13 and XON\x11 of the exchange\r\n"s,
      "\x13\x11\0"s + "0007 last\r\n"s,
  };
  std::string sent;
  std::string text;  // what a serial driver hands over
  for (const std::string& c : cases) {
    sent += c;
    for (const char b : c)
      if (b != 0 && b != 0x11 && b != 0x13) text += b;
  }
  const std::string expected = ExpectedData(kSite, text);
  Keys site = ComSite(true);
  SetKey(site, "EliminaNull", "1");

  // The pty site.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string slave = ::ptsname(master);
  ASSERT_NO_FATAL_FAILURE(StartRecorderWith(slave, "", site));
  ASSERT_TRUE(AwaitByte(master, 0x11)) << "no opening XON on the pty";
  ASSERT_TRUE(WriteAll(master, sent));
  ASSERT_TRUE(WaitForData(expected)) << Read("dati.txt");
  EXPECT_EQ(Quit(), 0);
  ::close(master);
  const std::string ptyData = Read("dati.txt");
  EXPECT_EQ(ptyData, expected);
  for (const char* name : {"dati.txt", "dati2.txt", "storico.txt"}) ::unlink(File(name).c_str());

  // The TCP site, the exchange connecting to it.
  const std::string port = FreePort();
  ASSERT_NO_FATAL_FAILURE(StartRecorderWith("tcp-listen:127.0.0.1:" + port, "", site));
  const int exchange = ConnectWhenListening(port);
  ASSERT_GE(exchange, 0);
  // The opening XON was sent before the connection came: it comes now.
  ASSERT_TRUE(AwaitByte(exchange, 0x11)) << "no opening XON over TCP";
  ASSERT_TRUE(WriteAll(exchange, sent));
  ASSERT_TRUE(WaitForData(expected)) << Read("dati.txt");
  EXPECT_EQ(Quit(), 0);
  ::close(exchange);
  EXPECT_EQ(Read("dati.txt"), ptyData);
  EXPECT_EQ(Read("storico.txt"), ptyData);
}

// A connection that drops in the middle of a line: the partial line ends
// there, and the next connection's first record is a line of its own with
// its header, as on a serial site whose connection ended there.
TEST_F(TcpEndToEnd, PartialLineOfADroppedConnectionDoesNotSwallowTheNextRecord) {
  const std::string noise = "0001 complete\r\n##noise## without its line end";
  const std::string records = "0002 first record\r\n0003 second record\r\n";
  const std::string expected = ExpectedData(kSite, noise + records, {noise.size()});
  const std::string port = FreePort();
  ASSERT_NO_FATAL_FAILURE(StartRecorderWith("tcp-listen:127.0.0.1:" + port, "", ComSite(true)));
  const int first = ConnectWhenListening(port);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(WaitForLog(" da 127.0.0.1:"));  // taken
  ASSERT_TRUE(WriteAll(first, noise));
  ::close(first);
  // The next connection is taken once the recorder has seen this one end.
  ASSERT_TRUE(WaitForLog(" persa"));
  const int second = ConnectWhenListening(port);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(WriteAll(second, records));
  ASSERT_TRUE(WaitForData(expected)) << Read("dati.txt") << "\n--- log\n" << Log();
  EXPECT_EQ(Quit(), 0);
  ::close(second);
  EXPECT_EQ(Read("dati.txt"), expected);
}

// A listening line with IndirizziAmmessi takes the exchange and refuses a
// host not on the list, however often it tries, with one log line.
TEST_F(TcpEndToEnd, ListeningLineRefusesAHostNotAllowedAndTakesTheExchange) {
  const std::string port = FreePort();
  ASSERT_NO_FATAL_FAILURE(StartRecorderWith("tcp-listen:127.0.0.1:" + port,
                                            "IndirizziAmmessi=10.1.1.1, 127.0.0.1\r\n",
                                            ComSite(true)));
  int stranger = -1;
  ASSERT_TRUE(PollUntil([&] { return (stranger = ConnectFrom("127.0.0.5", port)) >= 0; },
                        kReceiveDeadline));
  for (int attempt = 0;; ++attempt) {
    // Its bytes are never stored, and the recorder closes on it.
    WriteAll(stranger, "9999 not a call record\r\n");
    ASSERT_TRUE(SeesClosed(stranger)) << "attempt " << attempt;
    ::close(stranger);
    if (attempt == 9) break;
    stranger = ConnectFrom("127.0.0.5", port);
    ASSERT_GE(stranger, 0);
  }
  std::string where;
  sim_ = StartTcpSim({"exchange", "--records", std::to_string(kTcpRecords), "--rate", "50",
                      "--tcp-connect", "127.0.0.1:" + port, "--exit-when-done"},
                     "sim", &where);
  ASSERT_TRUE(WaitForLines(kTcpRecords)) << Lines();
  ASSERT_TRUE(sim_->WaitForExit(kStopDeadline).has_value()) << "vesper-sim did not finish";
  EXPECT_EQ(Quit(), 0);
  ExpectEveryRecordOnce("sim.sent");
  EXPECT_EQ(CountOf(Log(), "non ammesso"), 1);
  EXPECT_EQ(CountOf(Log(), "127.0.0.5"), 1);
}

// localhost may stand for ::1 first; an exchange that serves IPv4 only is
// reached all the same.
TEST_F(TcpEndToEnd, RecorderReachesAnIpv4OnlyExchangeByTheNameLocalhost) {
  std::string where;
  sim_ = StartTcpSim({"exchange", "--records", std::to_string(kTcpRecords), "--rate", "50", "--tcp",
                      "127.0.0.1:0", "--exit-when-done"},
                     "sim", &where);
  ASSERT_FALSE(where.empty());
  const std::string port = where.substr(where.rfind(':') + 1);
  ASSERT_NO_FATAL_FAILURE(StartRecorderOn("tcp:localhost:" + port));
  ASSERT_TRUE(WaitForLines(kTcpRecords)) << Lines();
  ASSERT_TRUE(sim_->WaitForExit(kStopDeadline).has_value()) << "vesper-sim did not finish";
  EXPECT_EQ(Quit(), 0);
  ExpectEveryRecordOnce("sim.sent");
}

TEST_F(TcpEndToEnd, RecorderConnectsAndResumesAfterTheExchangeDroppedTheLink) {
  std::string where;
  sim_ = StartTcpSim({"exchange", "--records", std::to_string(kTcpRecords), "--rate", "20", "--tcp",
                      "127.0.0.1:0", "--drop-link", "--exit-when-done"},
                     "sim", &where);
  ASSERT_FALSE(where.empty());
  const std::string com = "tcp:" + where;
  ASSERT_NO_FATAL_FAILURE(StartRecorderOn(com));
  ASSERT_TRUE(WaitForLines(15)) << Lines();
  ASSERT_TRUE(sim_->Signal(SIGUSR2));
  // The drop is said once, the return once, and the records go on.
  ASSERT_TRUE(WaitForLog("Connessione " + com + " persa"));
  ASSERT_TRUE(WaitForLog("Connessione " + com + " di nuovo attiva"));
  ASSERT_TRUE(WaitForLines(kTcpRecords)) << Lines();
  ASSERT_TRUE(sim_->WaitForExit(kStopDeadline).has_value()) << "vesper-sim did not finish";
  EXPECT_EQ(Quit(), 0);
  ExpectEveryRecordOnceAcrossOneDrop("sim.sent");
  // The drop, and the exchange's end once it had printed everything.
  EXPECT_EQ(CountOf(Log(), " persa"), 2);
}

TEST_F(TcpEndToEnd, ExchangeConnectsOneAtATimeAndARestartedOneResumes) {
  const std::string port = FreePort();
  const std::string com = "tcp-listen:127.0.0.1:" + port;
  ASSERT_NO_FATAL_FAILURE(StartRecorderOn(com));
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
  sim_ = StartTcpSim({"exchange", "--records", std::to_string(kTcpRecords), "--rate", "20",
                      "--tcp-connect", "127.0.0.1:" + port, "--drop-link", "--exit-when-done"},
                     "sim", &where);
  ASSERT_TRUE(WaitForLines(15)) << Lines();
  // A second exchange is turned away while the first is connected, and said
  // so once however often it tries.
  second_ = StartTcpSim({"exchange", "--records", "5", "--tcp-connect", "127.0.0.1:" + port,
                         "--seed", "7"},
                        "second", &where);
  ASSERT_TRUE(WaitForLog("rifiutata"));
  // Turned away three times: the recorder closed each of its connections
  // (one that connected may not have been taken yet).
  ASSERT_TRUE(PollUntil(
      [&] {
        const std::string says = Read("second.err");
        return CountOf(says, "connection closed by the recorder") +
                   CountOf(says, "connection lost") >=
               3;
      },
      kReceiveDeadline))
      << Read("second.err");
  second_->Stop(5s);
  EXPECT_EQ(CountOf(Log(), "rifiutata"), 1);

  ASSERT_TRUE(sim_->Signal(SIGUSR2));
  ASSERT_TRUE(WaitForLines(kTcpRecords)) << Lines();
  ASSERT_TRUE(sim_->WaitForExit(kStopDeadline).has_value()) << "vesper-sim did not finish";
  EXPECT_EQ(Quit(), 0);
  ExpectEveryRecordOnceAcrossOneDrop("sim.sent");
  // Taken: the probe that saw the recorder listen, and the first exchange
  // before and after its drop; the second exchange's never.
  const std::string log = Log();
  EXPECT_EQ(CountOf(log, "Connessione " + com + " da ") - CountOf(log, "rifiutata"), 3);
}

}  // namespace
}  // namespace vr::e2e
