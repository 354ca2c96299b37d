#include "line/tcp_line.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>

#include "line/socket.h"
#include "line/timed_line.h"
#include "log/error_log.h"

namespace vr {
namespace {

bool ValidPort(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

// "[::1]" names an IPv6 address; the brackets only keep its colons apart
// from the port's.
std::string Unbracket(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return std::string(host.substr(1, host.size() - 2));
  return std::string(host);
}

constexpr std::string_view kConnectPrefix = "tcp:";
constexpr std::string_view kListenPrefix = "tcp-listen:";

int Shorter(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

class TcpLine final : public TimedLine {
 public:
  TcpLine(TcpPortName name, std::string text, net::SocketHandle listener, const Clock& clock)
      : name_(std::move(name)), text_(std::move(text)), listener_(listener), clock_(clock) {}
  ~TcpLine() override {
    net::Close(socket_);
    net::Close(listener_);
  }

  // A socket has no port settings: what was set is given back, so the
  // recorder's opening and closing of a line work unchanged.
  bool GetSettings(PortSettings& settings) override {
    settings = settings_;
    return true;
  }
  bool SetSettings(const PortSettings& settings) override {
    settings_ = settings;
    return true;
  }
  bool SetQueues(std::uint32_t, std::uint32_t) override { return true; }

  // Without a connection a write goes nowhere, as bytes sent on a serial
  // line without a cable: it is not an error of the line.
  IoResult Write(std::span<const std::uint8_t> bytes) override {
    IoResult r{.ok = true};
    const auto deadline = DeadlineAfter(Timeouts().writeTotalMs);
    while (r.bytes < bytes.size() && link_ == Link::kUp) {
      const net::Transfer t = net::Send(socket_, bytes.data() + r.bytes, bytes.size() - r.bytes);
      if (t.bytes > 0) {
        r.bytes += static_cast<std::size_t>(t.bytes);
        continue;
      }
      if (t.failed) {
        Drop(t.error);
        break;
      }
      const int waitMs = MsUntil(deadline);
      if (waitMs == 0) break;  // the write time-out: what went out is reported
      const net::Readiness ready =
          net::Wait(socket_, false, true, net::kNoSocket, waitMs, nullptr);
      if (ready.failed) break;
    }
    return r;
  }

  bool Carrier() override { return link_ == Link::kUp; }
  bool SetDtr(bool) override { return true; }
  bool SetRts(bool) override { return true; }
  std::uint32_t LastError() const override { return lastError_; }
  void SetNotices(std::function<void(std::string)> notice) override { notice_ = std::move(notice); }

 private:
  enum class Link { kDown, kConnecting, kUp };

  void Notice(std::string text) {
    if (notice_) notice_(std::move(text));
  }

  IoResult ReadUntil(std::span<std::uint8_t> buffer, const Deadline& deadline,
                     WakeSignal* wake) override {
    IoResult r{.ok = true};
    Deadline quiet;  // the interval time-out's end, once a byte has come
    for (;;) {
      if (!name_.listen && link_ == Link::kDown && clock_.TickMs() >= nextAttemptMs_)
        StartAttempt();
      // The connection is read before a waiting one is taken: an exchange
      // that closed and connected again is seen closed first, not refused.
      const std::size_t before = r.bytes;
      if (link_ == Link::kUp) ReceiveInto(buffer, r);
      if (r.bytes > before) quiet = QuietDeadline();
      if (name_.listen) AcceptWaiting();
      if (r.bytes == buffer.size()) return r;
      int waitMs = MsUntil(Sooner(deadline, quiet));
      if (waitMs == 0) return r;
      if (wake != nullptr && wake->Wait(0)) return r;
      // A connecting line without a connection looks again when the next
      // attempt is due.
      if (!name_.listen && link_ == Link::kDown) {
        const std::uint64_t now = clock_.TickMs();
        waitMs = Shorter(waitMs, nextAttemptMs_ > now
                                     ? static_cast<int>(std::min<std::uint64_t>(
                                           nextAttemptMs_ - now, kLastReconnectPauseMs))
                                     : 0);
      }
      const bool up = link_ == Link::kUp;
      const bool connecting = link_ == Link::kConnecting;
      const net::Readiness ready =
          net::Wait(up || connecting ? socket_ : net::kNoSocket, up, connecting,
                    name_.listen ? listener_ : net::kNoSocket, waitMs, wake);
      if (ready.failed) {
        lastError_ = ready.error;
        return {.ok = false, .bytes = r.bytes, .error = ready.error};
      }
      if (connecting && ready.writable) FinishAttempt();
    }
  }

  // Takes what the connection holds, up to the buffer's end; a closed or
  // failed connection is dropped.
  void ReceiveInto(std::span<std::uint8_t> buffer, IoResult& r) {
    while (link_ == Link::kUp && r.bytes < buffer.size()) {
      const net::Transfer t =
          net::Receive(socket_, buffer.data() + r.bytes, buffer.size() - r.bytes);
      if (t.bytes > 0) {
        r.bytes += static_cast<std::size_t>(t.bytes);
        continue;
      }
      if (!t.wouldBlock) Drop(t.failed ? t.error : net::ClosedByPeerError());
      return;
    }
  }

  // --- Connecting ---

  void StartAttempt() {
    const net::ConnectStart start = net::StartConnect(name_.host, name_.port);
    if (start.socket == net::kNoSocket) {
      AttemptFailed(start.error);
      return;
    }
    socket_ = start.socket;
    link_ = Link::kConnecting;
    if (!start.inProgress) FinishAttempt();
  }

  void FinishAttempt() {
    const std::uint32_t error = net::ConnectError(socket_);
    if (error != 0) {
      net::Close(socket_);
      socket_ = net::kNoSocket;
      link_ = Link::kDown;
      AttemptFailed(error);
      return;
    }
    link_ = Link::kUp;
    pauseMs_ = kFirstReconnectPauseMs;
    if (outage_) Notice("Connessione " + text_ + " di nuovo attiva");
    outage_ = false;
  }

  void AttemptFailed(std::uint32_t error) {
    lastError_ = error;
    if (!outage_) Notice("Connessione " + text_ + " non riuscita: " + SystemErrorText(error));
    outage_ = true;
    nextAttemptMs_ = clock_.TickMs() + pauseMs_;
    pauseMs_ = std::min(pauseMs_ * 2, kLastReconnectPauseMs);
  }

  // --- Listening ---

  void AcceptWaiting() {
    for (;;) {
      std::string peer;
      const net::SocketHandle incoming = net::Accept(listener_, peer);
      if (incoming == net::kNoSocket) return;
      if (link_ == Link::kUp) {
        // One exchange at a time: a second one would interleave its records.
        // Said once while the connection lasts: a peer that keeps trying
        // must not fill the log.
        net::Close(incoming);
        if (!refusalSaid_)
          Notice("Connessione " + text_ + " da " + peer + " rifiutata: un'altra è in corso");
        refusalSaid_ = true;
        continue;
      }
      socket_ = incoming;
      link_ = Link::kUp;
      Notice("Connessione " + text_ + " da " + peer);
    }
  }

  // The connection has ended: a connecting line tries again after the
  // first pause, a listening one takes the next connection.
  void Drop(std::uint32_t error) {
    lastError_ = error;
    net::Close(socket_);
    socket_ = net::kNoSocket;
    link_ = Link::kDown;
    refusalSaid_ = false;
    Notice("Connessione " + text_ + " persa: " + SystemErrorText(error));
    if (!name_.listen) {
      outage_ = true;
      pauseMs_ = kFirstReconnectPauseMs;
      nextAttemptMs_ = clock_.TickMs() + pauseMs_;
      pauseMs_ = std::min(pauseMs_ * 2, kLastReconnectPauseMs);
    }
  }

  const TcpPortName name_;
  const std::string text_;  // the port name as Com gives it
  net::SocketHandle listener_ = net::kNoSocket;
  net::SocketHandle socket_ = net::kNoSocket;
  const Clock& clock_;
  Link link_ = Link::kDown;
  bool outage_ = false;  // said once; the return is said once too
  bool refusalSaid_ = false;
  std::uint64_t nextAttemptMs_ = 0;
  std::uint32_t pauseMs_ = kFirstReconnectPauseMs;
  std::uint32_t lastError_ = 0;
  PortSettings settings_;
  std::function<void(std::string)> notice_;
};

}  // namespace

bool IsTcpPortName(std::string_view name) {
  return name.starts_with(kConnectPrefix) || name.starts_with(kListenPrefix);
}

std::optional<TcpPortName> ParseTcpPortName(std::string_view name) {
  TcpPortName parsed;
  std::string_view rest;
  if (name.starts_with(kListenPrefix)) {
    parsed.listen = true;
    rest = name.substr(kListenPrefix.size());
  } else if (name.starts_with(kConnectPrefix)) {
    rest = name.substr(kConnectPrefix.size());
  } else {
    return std::nullopt;
  }
  const std::size_t colon = rest.rfind(':');
  const bool bracketed = !rest.empty() && rest.front() == '[';
  // A bare IPv6 address without brackets cannot be told from its port.
  if (colon != std::string_view::npos && !bracketed &&
      rest.substr(0, colon).find(':') != std::string_view::npos)
    return std::nullopt;
  if (colon == std::string_view::npos) {
    if (!parsed.listen) return std::nullopt;  // connecting needs a host
    parsed.port = std::string(rest);
  } else {
    parsed.host = Unbracket(rest.substr(0, colon));
    parsed.port = std::string(rest.substr(colon + 1));
    if (!parsed.listen && parsed.host.empty()) return std::nullopt;
  }
  if (!ValidPort(parsed.port)) return std::nullopt;
  return parsed;
}

std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error,
                                  const Clock& clock) {
  auto fail = [&](std::uint32_t code) -> std::unique_ptr<Line> {
    if (error) *error = code;
    return nullptr;
  };
  const std::optional<TcpPortName> parsed = ParseTcpPortName(name);
  if (!parsed) return fail(net::InvalidAddressError());
  net::SocketHandle listener = net::kNoSocket;
  if (parsed->listen) {
    std::uint32_t listenError = 0;
    listener = net::Listen(parsed->host, parsed->port, listenError);
    if (listener == net::kNoSocket) return fail(listenError);
  }
  if (error) *error = 0;
  return std::make_unique<TcpLine>(*parsed, name, listener, clock);
}

std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error) {
  static const SystemClock clock;
  return OpenTcpLine(name, error, clock);
}

}  // namespace vr
