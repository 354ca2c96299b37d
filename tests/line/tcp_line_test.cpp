#include "line/tcp_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "line/socket.h"

namespace vr {
namespace {

TEST(TcpPortName, IsReadAsConnectOrListenWithHostAndPort) {
  struct Case {
    const char* name;
    bool valid;
    bool listen;
    const char* host;
    const char* port;
  };
  const Case cases[] = {
      {"tcp:192.168.1.20:9000", true, false, "192.168.1.20", "9000"},
      {"tcp:pbx.example:1", true, false, "pbx.example", "1"},
      {"tcp:[::1]:65535", true, false, "::1", "65535"},
      {"tcp-listen:9000", true, true, "", "9000"},
      {"tcp-listen:127.0.0.1:9000", true, true, "127.0.0.1", "9000"},
      {"tcp-listen:[::]:9000", true, true, "::", "9000"},
      {"tcp:9000", false, false, "", ""},           // connecting needs a host
      {"tcp::9000", false, false, "", ""},
      {"tcp:host:", false, false, "", ""},
      {"tcp:host:0", false, false, "", ""},
      {"tcp:host:65536", false, false, "", ""},
      {"tcp:host:9x", false, false, "", ""},
      {"tcp:::1:9000", false, false, "", ""},       // IPv6 needs its brackets
      {"tcp-listen:", false, false, "", ""},
      {"COM1", false, false, "", ""},
      {"/dev/ttyS0", false, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<TcpPortName> parsed = ParseTcpPortName(c.name);
    ASSERT_EQ(parsed.has_value(), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(parsed->listen, c.listen);
    EXPECT_EQ(parsed->host, c.host);
    EXPECT_EQ(parsed->port, c.port);
  }
  EXPECT_TRUE(IsTcpPortName("tcp:x"));
  EXPECT_TRUE(IsTcpPortName("tcp-listen:x"));
  EXPECT_FALSE(IsTcpPortName("COM1"));
}

// The exchange's side: plain sockets on loopback.
class Peer {
 public:
  Peer() {
    std::uint32_t error = 0;
    listener_ = net::Listen("127.0.0.1", "0", error);
    EXPECT_NE(listener_, net::kNoSocket) << error;
    port_ = net::LocalPort(listener_);
  }
  ~Peer() {
    net::Close(connection_);
    net::Close(listener_);
  }
  const std::string& Port() const { return port_; }

  // The recorder's line connects while it reads; the peer takes the
  // connection once it is there.
  bool AcceptWithin(int ms) {
    const net::Readiness ready =
        net::Wait(net::kNoSocket, false, false, listener_, ms, nullptr);
    if (!ready.listenerReadable) return false;
    std::string peer;
    connection_ = net::Accept(listener_, peer);
    return connection_ != net::kNoSocket;
  }
  void Send(const std::string& text) {
    const net::Transfer t = net::Send(
        connection_, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    EXPECT_EQ(t.bytes, static_cast<long>(text.size()));
  }
  std::string ReceiveWithin(int ms) {
    net::Wait(connection_, true, false, net::kNoSocket, ms, nullptr);
    std::uint8_t buffer[64];
    const net::Transfer t = net::Receive(connection_, buffer, sizeof buffer);
    return t.bytes > 0 ? std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(t.bytes))
                       : std::string();
  }
  void Hang() {
    net::Close(connection_);
    connection_ = net::kNoSocket;
  }
  void StopListening() {
    net::Close(listener_);
    listener_ = net::kNoSocket;
  }

 private:
  net::SocketHandle listener_ = net::kNoSocket;
  net::SocketHandle connection_ = net::kNoSocket;
  std::string port_;
};

std::string ReadText(Line& line, std::size_t count) {
  std::vector<std::uint8_t> buffer(count);
  const IoResult r = line.Read(buffer);
  EXPECT_TRUE(r.ok) << r.error;
  return std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.bytes));
}

class TcpLineTest : public ::testing::Test {
 protected:
  std::unique_ptr<Line> Open(const std::string& name) {
    std::uint32_t error = 0;
    std::unique_ptr<Line> line = OpenTcpLine(name, &error, clock_);
    EXPECT_TRUE(line) << error;
    if (!line) return nullptr;
    line->SetNotices([this](std::string text) { notices_.push_back(std::move(text)); });
    // Short reads: a read that finds nothing ends soon.
    line->SetTimeouts({.readTotalMs = 200, .writeTotalMs = 1000});
    return line;
  }

  ManualClock clock_;
  std::vector<std::string> notices_;
};

TEST_F(TcpLineTest, ConnectingLineReadsTheExchangeAndSendsItsFlowBytes) {
  Peer exchange;
  const std::string name = "tcp:127.0.0.1:" + exchange.Port();
  std::unique_ptr<Line> line = Open(name);
  ASSERT_TRUE(line);
  EXPECT_FALSE(line->Carrier());
  EXPECT_EQ(ReadText(*line, 16), "");  // connects, nothing sent yet
  ASSERT_TRUE(exchange.AcceptWithin(5000));
  EXPECT_TRUE(line->Carrier());
  exchange.Send("0001 call\r\n");
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});
  EXPECT_EQ(ReadText(*line, 11), "0001 call\r\n");
  const std::uint8_t xoff = 0x13;
  EXPECT_EQ(line->SendFlowChar(xoff).bytes, 1u);
  EXPECT_EQ(exchange.ReceiveWithin(5000), "\x13");
  EXPECT_TRUE(notices_.empty());  // a connection made at once is no news
}

TEST_F(TcpLineTest, DroppedConnectionIsSaidOnceAndRemadeAfterThePause) {
  Peer exchange;
  std::unique_ptr<Line> line = Open("tcp:127.0.0.1:" + exchange.Port());
  ASSERT_TRUE(line);
  ReadText(*line, 1);
  ASSERT_TRUE(exchange.AcceptWithin(5000));
  exchange.Send("ab");
  exchange.Hang();
  // What came before the drop is read; then the line is down, not failed.
  EXPECT_EQ(ReadText(*line, 4), "ab");
  EXPECT_FALSE(line->Carrier());
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_NE(notices_[0].find("persa"), std::string::npos) << notices_[0];

  // Before the pause has passed no attempt is made.
  EXPECT_EQ(ReadText(*line, 4), "");
  EXPECT_FALSE(exchange.AcceptWithin(100));
  clock_.AdvanceMs(kFirstReconnectPauseMs);
  EXPECT_EQ(ReadText(*line, 4), "");
  ASSERT_TRUE(exchange.AcceptWithin(5000));
  exchange.Send("cd");
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});
  EXPECT_EQ(ReadText(*line, 2), "cd");
  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_NE(notices_[1].find("di nuovo attiva"), std::string::npos) << notices_[1];
}

TEST_F(TcpLineTest, UnreachableExchangeIsTriedAgainWithLongerPausesAndSaidOnce) {
  std::string port;
  {
    Peer gone;  // a port that was free a moment ago, and nobody listens on
    port = gone.Port();
  }
  std::unique_ptr<Line> line = Open("tcp:127.0.0.1:" + port);
  ASSERT_TRUE(line);
  line->SetTimeouts({.readTotalMs = 50, .writeTotalMs = 1000});
  // Refused at once, then after 1 s and after 2 s more: the next pause is 4 s.
  ReadText(*line, 1);
  clock_.AdvanceMs(1000);
  ReadText(*line, 1);
  clock_.AdvanceMs(2000);
  ReadText(*line, 1);

  std::uint32_t error = 0;
  const net::SocketHandle listener = net::Listen("127.0.0.1", port, error);
  ASSERT_NE(listener, net::kNoSocket) << error;
  clock_.AdvanceMs(3999);
  ReadText(*line, 1);
  EXPECT_FALSE(line->Carrier());
  EXPECT_FALSE(net::Wait(net::kNoSocket, false, false, listener, 200, nullptr).listenerReadable);
  clock_.AdvanceMs(1);
  ReadText(*line, 1);
  EXPECT_TRUE(net::Wait(net::kNoSocket, false, false, listener, 5000, nullptr).listenerReadable);
  std::string peer;
  const net::SocketHandle accepted = net::Accept(listener, peer);
  EXPECT_NE(accepted, net::kNoSocket);
  ReadText(*line, 1);
  EXPECT_TRUE(line->Carrier());
  net::Close(accepted);
  net::Close(listener);

  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_NE(notices_[0].find("non riuscita"), std::string::npos) << notices_[0];
  EXPECT_NE(notices_[1].find("di nuovo attiva"), std::string::npos) << notices_[1];
}

TEST_F(TcpLineTest, ListeningLineTakesOneExchangeAtATime) {
  std::string port;
  {
    Peer probe;
    port = probe.Port();
  }
  std::unique_ptr<Line> line = Open("tcp-listen:127.0.0.1:" + port);
  ASSERT_TRUE(line);
  auto connect = [&] {
    net::ConnectStart start = net::StartConnect("127.0.0.1", port);
    EXPECT_NE(start.socket, net::kNoSocket) << start.error;
    return start.socket;
  };
  const net::SocketHandle first = connect();
  EXPECT_EQ(ReadText(*line, 1), "");  // accepted
  EXPECT_TRUE(line->Carrier());
  const net::SocketHandle second = connect();
  const std::uint8_t record[] = {'x', '\r', '\n'};
  net::Wait(first, false, true, net::kNoSocket, 5000, nullptr);
  net::Send(first, record, sizeof record);
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});
  EXPECT_EQ(ReadText(*line, 3), "x\r\n");
  // The second one was turned away: it reads the end of its connection.
  net::Wait(second, true, false, net::kNoSocket, 5000, nullptr);
  std::uint8_t byte = 0;
  EXPECT_LE(net::Receive(second, &byte, 1).bytes, 0);
  ASSERT_GE(notices_.size(), 2u);
  EXPECT_NE(notices_[1].find("rifiutata"), std::string::npos) << notices_[1];

  net::Close(first);
  line->SetTimeouts({.readTotalMs = 300, .writeTotalMs = 1000});
  ReadText(*line, 1);
  EXPECT_FALSE(line->Carrier());
  const net::SocketHandle third = connect();
  net::Wait(third, false, true, net::kNoSocket, 5000, nullptr);
  net::Send(third, record, sizeof record);
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});
  EXPECT_EQ(ReadText(*line, 3), "x\r\n");
  net::Close(second);
  net::Close(third);
}

TEST_F(TcpLineTest, PortInUseOrMalformedNameFailsTheOpen) {
  Peer holder;
  std::uint32_t error = 0;
  EXPECT_FALSE(OpenTcpLine("tcp-listen:127.0.0.1:" + holder.Port(), &error, clock_));
  EXPECT_NE(error, 0u);
  error = 0;
  EXPECT_FALSE(OpenTcpLine("tcp:nohostport", &error, clock_));
  EXPECT_NE(error, 0u);
}

// A total time-out so long that only the interval can have ended the reads
// by the time they return.
TEST_F(TcpLineTest, IntervalTimeOutEndsAReadOnceTheConnectionGoesQuietAfterABurst) {
  constexpr std::uint32_t kTotalMs = 60'000;
  Peer exchange;
  std::unique_ptr<Line> line = Open("tcp:127.0.0.1:" + exchange.Port());
  ASSERT_TRUE(line);
  ReadText(*line, 1);
  ASSERT_TRUE(exchange.AcceptWithin(5000));
  ASSERT_TRUE(line->SetTimeouts({.readTotalMs = kTotalMs, .writeTotalMs = 1000, .readIntervalMs = 20}));
  SystemWakeSignal wake;
  const std::function<IoResult(std::span<std::uint8_t>)> reads[] = {
      [&](std::span<std::uint8_t> b) { return line->Read(b); },
      [&](std::span<std::uint8_t> b) { return line->ReadWithin(b, kTotalMs, &wake); },
  };
  for (const auto& read : reads) {
    std::string sent;
    for (int i = 0; sent.size() < 20'000; ++i) sent += "0001 call " + std::to_string(i) + "\r\n";
    std::thread device([&] {
      for (std::size_t at = 0; at < sent.size(); at += 512)
        exchange.Send(sent.substr(at, 512));
    });
    std::string got;
    std::uint8_t buffer[4096];
    const auto start = std::chrono::steady_clock::now();
    while (got.size() < sent.size()) {
      const IoResult r = read(buffer);
      ASSERT_TRUE(r.ok) << r.error;
      if (r.bytes == 0) break;
      got.append(reinterpret_cast<char*>(buffer), r.bytes);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    device.join();
    EXPECT_EQ(got, sent);  // complete and in order
    EXPECT_LT(took, std::chrono::milliseconds(kTotalMs));
  }
}

TEST_F(TcpLineTest, ReadWithoutAnEndEndsWhenTheWakeIsRaised) {
  Peer exchange;
  std::unique_ptr<Line> line = Open("tcp:127.0.0.1:" + exchange.Port());
  ASSERT_TRUE(line);
  ReadText(*line, 1);
  ASSERT_TRUE(exchange.AcceptWithin(5000));
  SystemWakeSignal wake;
  std::thread raiser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    wake.Signal();
  });
  std::uint8_t buffer[4];
  const IoResult r = line->ReadWithin(buffer, 0, &wake);
  raiser.join();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 0u);
}

}  // namespace
}  // namespace vr
