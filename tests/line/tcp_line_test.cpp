#include "line/tcp_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
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
  // Reads another socket as ReceiveWithin reads the peer's.
  struct Receiver {
    net::SocketHandle socket;
    std::string Within(int ms) const {
      net::Wait(socket, true, false, net::kNoSocket, ms, nullptr);
      std::uint8_t buffer[64];
      const net::Transfer t = net::Receive(socket, buffer, sizeof buffer);
      return t.bytes > 0 ? std::string(reinterpret_cast<char*>(buffer),
                                       static_cast<std::size_t>(t.bytes))
                         : std::string();
    }
  };
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
  std::unique_ptr<Line> Open(const std::string& name, TcpLineOptions options = {}) {
    std::uint32_t error = 0;
    std::unique_ptr<Line> line = OpenTcpLine(name, &error, clock_, std::move(options));
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

// A loopback port that was free a moment ago.
std::string FreePort() {
  Peer probe;
  return probe.Port();
}

// The exchange's end of a connection to a listening line.
net::SocketHandle ConnectTo(const std::string& port) {
  const net::ConnectStart start = net::StartConnect("127.0.0.1", port);
  EXPECT_NE(start.socket, net::kNoSocket) << start.error;
  net::Wait(start.socket, false, true, net::kNoSocket, 5000, nullptr);
  return start.socket;
}

void SendText(net::SocketHandle socket, const std::string& text) {
  const net::Transfer t =
      net::Send(socket, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  EXPECT_EQ(t.bytes, static_cast<long>(text.size()));
}

// Whether the far end closed the connection (read within 5 s).
bool SeesClosed(net::SocketHandle socket) {
  net::Wait(socket, true, false, net::kNoSocket, 5000, nullptr);
  std::uint8_t byte = 0;
  return net::Receive(socket, &byte, 1).bytes <= 0;
}

TEST_F(TcpLineTest, ReceivedBytesAreWhatASerialDriverHandsOver) {
  struct Case {
    const char* what;
    bool discardNull;
    bool outX;
    std::string sent;
    std::string read;
  };
  const Case cases[] = {
      {"as they came", false, false, std::string("a\0b\x13" "c\x11\r\n", 8),
       std::string("a\0b\x13" "c\x11\r\n", 8)},
      {"NULs dropped", true, false, std::string("\0a\0\0b\r\n\0", 8), "ab\r\n\x00"},
      {"XON and XOFF taken", false, true, std::string("a\x13" "b\x11" "c\0\r\n", 8),
       std::string("abc\0\r\n", 6)},
      {"both", true, true, std::string("\0\x13\x11" "0001\0\r\n", 10), "0001\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string port = FreePort();
    std::unique_ptr<Line> line = Open("tcp-listen:127.0.0.1:" + port);
    ASSERT_TRUE(line);
    PortSettings settings;
    line->GetSettings(settings);
    settings.discardNull = c.discardNull;
    settings.outX = settings.inX = c.outX;
    line->SetSettings(settings);
    const net::SocketHandle exchange = ConnectTo(port);
    SendText(exchange, c.sent);
    line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});
    EXPECT_EQ(ReadText(*line, c.read.size()), c.read);
    net::Close(exchange);
  }
}

TEST_F(TcpLineTest, FarEndXoffHoldsTheRecordersWritesUntilItsXon) {
  const std::string port = FreePort();
  std::unique_ptr<Line> line = Open("tcp-listen:127.0.0.1:" + port);
  ASSERT_TRUE(line);
  PortSettings settings;
  line->GetSettings(settings);
  settings.outX = settings.inX = true;
  line->SetSettings(settings);
  const net::SocketHandle exchange = ConnectTo(port);
  SendText(exchange, "ab\x13");
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 200});
  EXPECT_EQ(ReadText(*line, 2), "ab");
  line->SetTimeouts({.readTotalMs = 200, .writeTotalMs = 200});
  EXPECT_EQ(ReadText(*line, 1), "");  // the XOFF is no data
  const std::uint8_t command[] = {'Q'};
  EXPECT_EQ(line->Write(command).bytes, 0u);  // held for the whole write time-out
  // The flow characters still go out while held.
  EXPECT_EQ(line->SendFlowChar(0x13).bytes, 1u);
  Peer::Receiver receive{exchange};
  EXPECT_EQ(receive.Within(5000), "\x13");

  // The exchange's next bytes come with its XON: the write goes out, and
  // what came with the XON is read afterwards.
  SendText(exchange, "cd\x11");
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 5000});
  EXPECT_EQ(line->Write(command).bytes, 1u);
  EXPECT_EQ(receive.Within(5000), "Q");
  EXPECT_EQ(ReadText(*line, 2), "cd");
  net::Close(exchange);
}

TEST_F(TcpLineTest, ConnectionEndIsToldAfterItsOwnBytesAndBeforeTheNextOnes) {
  const std::string port = FreePort();
  std::unique_ptr<Line> line = Open("tcp-listen:127.0.0.1:" + port);
  ASSERT_TRUE(line);
  const net::SocketHandle first = ConnectTo(port);
  EXPECT_EQ(ReadText(*line, 1), "");  // taken
  SendText(first, "noise without its line end");
  net::Close(first);
  const net::SocketHandle second = ConnectTo(port);
  SendText(second, "0001 call\r\n");
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});

  std::vector<std::uint8_t> buffer(64);
  IoResult r = line->Read(buffer);
  std::string text(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.bytes));
  // Any number of reads may come before the end, none holds a byte of the next.
  while (!r.connectionEnded) {
    ASSERT_TRUE(r.ok);
    ASSERT_GT(r.bytes, 0u) << "the end was never told";
    r = line->Read(buffer);
    text.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.bytes));
  }
  EXPECT_EQ(text, "noise without its line end");
  r = line->Read(std::span(buffer).first(11));
  EXPECT_FALSE(r.connectionEnded);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.bytes)),
            "0001 call\r\n");
  net::Close(second);
}

TEST_F(TcpLineTest, FlowStateSetWhileDownGoesOutWhenTheConnectionComesUp) {
  Peer exchange;
  std::unique_ptr<Line> line = Open("tcp:127.0.0.1:" + exchange.Port());
  ASSERT_TRUE(line);
  // Held, then released, before any connection: taken, not a held write.
  EXPECT_EQ(line->SendFlowChar(0x13).bytes, 1u);
  EXPECT_EQ(line->SendFlowChar(0x11).bytes, 1u);
  const std::uint8_t command[] = {'Q', 'R'};
  EXPECT_EQ(line->Write(command).bytes, 2u);  // into the void, as without a cable
  ReadText(*line, 1);
  ASSERT_TRUE(exchange.AcceptWithin(5000));
  EXPECT_EQ(exchange.ReceiveWithin(5000), "\x11");  // the latest state, once
  // And again at the next connection.
  exchange.Hang();
  ReadText(*line, 1);
  clock_.AdvanceMs(kFirstReconnectPauseMs);
  ReadText(*line, 1);
  ASSERT_TRUE(exchange.AcceptWithin(5000));
  EXPECT_EQ(exchange.ReceiveWithin(5000), "\x11");
}

TEST_F(TcpLineTest, EveryAddressOfTheNameIsTriedInOrder) {
  Peer exchange;  // IPv4 only
  std::vector<std::string> asked;
  TcpLineOptions options;
  options.resolve = [&asked](const std::string& host, const std::string&) {
    asked.push_back(host);
    return net::Resolution{.addresses = {"::1", "127.0.0.1"}, .error = 0};
  };
  std::unique_ptr<Line> line = Open("tcp:exchange.test:" + exchange.Port(), options);
  ASSERT_TRUE(line);
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});
  std::uint8_t byte = 0;
  std::thread peer([&] {
    if (exchange.AcceptWithin(5000)) exchange.Send("x");
  });
  const IoResult r = line->Read(std::span(&byte, 1));
  peer.join();
  EXPECT_EQ(r.bytes, 1u);
  EXPECT_EQ(byte, 'x');
  EXPECT_TRUE(line->Carrier());
  EXPECT_EQ(asked, std::vector<std::string>{"exchange.test"});
  EXPECT_TRUE(notices_.empty()) << notices_.front();
}

TEST_F(TcpLineTest, NameServerThatNeverAnswersDoesNotHoldTheRead) {
  // The resolver blocks until the test lets it go, after the read is over.
  struct Gate {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released{release.get_future().share()};
  };
  auto gate = std::make_shared<Gate>();
  TcpLineOptions options;
  options.resolve = [gate](const std::string&, const std::string&) {
    gate->entered.set_value();
    gate->released.wait();
    return net::Resolution{.addresses = {}, .error = net::TimedOutError()};
  };
  std::unique_ptr<Line> line = Open("tcp:silent.test:9", options);
  ASSERT_TRUE(line);
  SystemWakeSignal stop;
  std::uint8_t byte = 0;
  std::future<IoResult> read = std::async(std::launch::async, [&] {
    return line->ReadWithin(std::span(&byte, 1), 0, &stop);  // no end of its own
  });
  gate->entered.get_future().wait();
  stop.Signal();  // the worker's stop request
  const IoResult r = read.get();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_FALSE(line->Carrier());
  line.reset();  // the line goes while its name server is still asked
  gate->release.set_value();
}

TEST_F(TcpLineTest, ListeningOnANameThatDoesNotAnswerFailsTheOpenInTime) {
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  TcpLineOptions options;
  options.resolve = [released](const std::string&, const std::string&) {
    released.wait();
    return net::Resolution{};
  };
  std::uint32_t error = 0;
  EXPECT_FALSE(OpenTcpLine("tcp-listen:silent.test:9", &error, clock_, options));
  EXPECT_EQ(error, net::TimedOutError());
  release->set_value();
}

// Accepts as the system does, but the peers come from the addresses given,
// in turn (the last one for all later connections).
struct DisguisedAccept {
  std::shared_ptr<std::vector<std::string>> addresses;
  std::shared_ptr<std::size_t> calls = std::make_shared<std::size_t>(0);
  net::Incoming operator()(net::SocketHandle listener) const {
    net::Incoming in = net::AcceptIncoming(listener);
    if (in.socket == net::kNoSocket) return in;
    const std::size_t i = std::min((*calls)++, addresses->size() - 1);
    in.address = (*addresses)[i];
    return in;
  }
};

TEST_F(TcpLineTest, StrangerIsRefusedWithOneNoticeHoweverOftenItTries) {
  const std::string port = FreePort();
  DisguisedAccept accept{std::make_shared<std::vector<std::string>>(
      std::vector<std::string>{"192.0.2.9", "192.0.2.9", "192.0.2.9", "192.0.2.9", "192.0.2.9",
                               "127.0.0.1"})};
  TcpLineOptions options;
  options.allowedPeers = {"127.0.0.1"};
  options.accept = accept;
  std::unique_ptr<Line> line = Open("tcp-listen:127.0.0.1:" + port, options);
  ASSERT_TRUE(line);
  for (int i = 0; i < 5; ++i) {
    const net::SocketHandle stranger = ConnectTo(port);
    SendText(stranger, "not a call\r\n");
    ReadText(*line, 1);
    EXPECT_FALSE(line->Carrier());
    EXPECT_TRUE(SeesClosed(stranger));
    net::Close(stranger);
  }
  const net::SocketHandle exchange = ConnectTo(port);
  SendText(exchange, "0001\r\n");
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});
  EXPECT_EQ(ReadText(*line, 6), "0001\r\n");
  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_NE(notices_[0].find("da 192.0.2.9:"), std::string::npos) << notices_[0];
  EXPECT_NE(notices_[0].find("non ammesso"), std::string::npos) << notices_[0];
  EXPECT_NE(notices_[1].find("da 127.0.0.1:"), std::string::npos) << notices_[1];
  net::Close(exchange);
}

TEST_F(TcpLineTest, SilentConnectionGivesWayToANewOneOnlyAfterTheIdleTime) {
  const std::string port = FreePort();
  TcpLineOptions options;
  options.idleTakeoverMs = 60000;
  std::unique_ptr<Line> line = Open("tcp-listen:127.0.0.1:" + port, options);
  ASSERT_TRUE(line);
  const net::SocketHandle lingering = ConnectTo(port);
  SendText(lingering, "0001 partial");
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});
  EXPECT_EQ(ReadText(*line, 12), "0001 partial");
  line->SetTimeouts({.readTotalMs = 200, .writeTotalMs = 1000});

  clock_.AdvanceMs(59999);
  const net::SocketHandle early = ConnectTo(port);
  ReadText(*line, 1);
  EXPECT_TRUE(SeesClosed(early));  // refused: the old one has not been silent long enough
  net::Close(early);

  clock_.AdvanceMs(1);
  const net::SocketHandle restarted = ConnectTo(port);
  SendText(restarted, "0002 call\r\n");
  std::uint8_t buffer[32];
  line->SetTimeouts({.readTotalMs = 5000, .writeTotalMs = 1000});
  IoResult r = line->Read(buffer);
  EXPECT_TRUE(r.connectionEnded);  // the old one's partial line ends here
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(ReadText(*line, 11), "0002 call\r\n");
  EXPECT_TRUE(SeesClosed(lingering));
  EXPECT_TRUE(line->Carrier());
  net::Close(lingering);
  net::Close(restarted);
}

TEST_F(TcpLineTest, FailingAcceptRestsInsteadOfAskingAgainAtOnce) {
  const std::string port = FreePort();
  auto calls = std::make_shared<int>(0);
  auto failing = std::make_shared<bool>(true);
  TcpLineOptions options;
  options.accept = [calls, failing](net::SocketHandle listener) {
    ++*calls;
    if (*failing) return net::Incoming{.socket = net::kNoSocket, .address = "", .port = "", .error = 24};  // out of descriptors
    return net::AcceptIncoming(listener);
  };
  std::unique_ptr<Line> line = Open("tcp-listen:127.0.0.1:" + port, options);
  ASSERT_TRUE(line);
  const net::SocketHandle exchange = ConnectTo(port);
  // The listener stays readable the whole read: one try, then the rest.
  line->SetTimeouts({.readTotalMs = 300, .writeTotalMs = 1000});
  ReadText(*line, 1);
  ReadText(*line, 1);
  EXPECT_EQ(*calls, 1);
  clock_.AdvanceMs(kAcceptPauseMs);
  ReadText(*line, 1);
  EXPECT_EQ(*calls, 2);
  ASSERT_EQ(notices_.size(), 1u);  // said once for the episode
  EXPECT_NE(notices_[0].find("non accettata"), std::string::npos) << notices_[0];
  *failing = false;
  clock_.AdvanceMs(kAcceptPauseMs);
  ReadText(*line, 1);
  EXPECT_TRUE(line->Carrier());
  net::Close(exchange);
}

TEST(AllowedPeers, AreReadAsCanonicalAddressesSeparatedByCommasOrBlanks) {
  std::vector<std::string> bad;
  EXPECT_EQ(ParseAllowedPeers(" 192.168.1.20, ::1 ,[fe80::0001]\t10.0.0.1,192.168.1.20", &bad),
            (std::vector<std::string>{"192.168.1.20", "::1", "fe80::1", "10.0.0.1"}));
  EXPECT_TRUE(bad.empty());
  EXPECT_EQ(ParseAllowedPeers("::ffff:10.0.0.2 pbx.example 300.1.1.1", &bad),
            std::vector<std::string>{"10.0.0.2"});
  EXPECT_EQ(bad, (std::vector<std::string>{"pbx.example", "300.1.1.1"}));
  EXPECT_TRUE(ParseAllowedPeers("  ", nullptr).empty());
  EXPECT_TRUE(ListensOnEveryAddress(*ParseTcpPortName("tcp-listen:9000")));
  EXPECT_TRUE(ListensOnEveryAddress(*ParseTcpPortName("tcp-listen:0.0.0.0:9000")));
  EXPECT_TRUE(ListensOnEveryAddress(*ParseTcpPortName("tcp-listen:[::]:9000")));
  EXPECT_FALSE(ListensOnEveryAddress(*ParseTcpPortName("tcp-listen:127.0.0.1:9000")));
  EXPECT_FALSE(ListensOnEveryAddress(*ParseTcpPortName("tcp:0.0.0.0:9000")));
}

}  // namespace
}  // namespace vr
