#include "line/tcp_line.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <thread>
#include <utility>

#include "base/wake_signal.h"
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

// Milliseconds from now to a tick of the line's clock, at most a pause.
int MsUntilTick(const Clock& clock, std::uint64_t tickMs) {
  const std::uint64_t now = clock.TickMs();
  if (tickMs <= now) return 0;
  return static_cast<int>(std::min<std::uint64_t>(tickMs - now, kLastReconnectPauseMs));
}

// A name resolved on a thread of its own: a name server that does not
// answer holds that thread, never the reader. The thread owns its share of
// the job, so a line closed meanwhile leaves it to end by itself.
struct ResolutionJob {
  std::mutex mutex;
  bool done = false;
  net::Resolution result;
  SystemWakeSignal finished;
};

std::shared_ptr<ResolutionJob> StartResolution(const TcpResolver& resolve, const std::string& host,
                                               const std::string& port) {
  auto job = std::make_shared<ResolutionJob>();
  std::thread([job, resolve, host, port] {
    net::Resolution result;
    try {
      result = resolve(host, port);
    } catch (...) {
      result.error = net::InvalidAddressError();
    }
    {
      const std::lock_guard guard(job->mutex);
      job->result = std::move(result);
      job->done = true;
    }
    job->finished.Signal();
  }).detach();
  return job;
}

std::optional<net::Resolution> TakeResolution(ResolutionJob& job) {
  const std::lock_guard guard(job.mutex);
  if (!job.done) return std::nullopt;
  return job.result;
}

// Bytes received while a held write waits for XON are kept for the next
// read, up to this much; past it the connection's own buffers hold the rest.
constexpr std::size_t kInboxLimitBytes = 1 << 20;

class TcpLine final : public TimedLine {
 public:
  TcpLine(TcpPortName name, std::string text, net::SocketHandle listener, const Clock& clock,
          TcpLineOptions options)
      : name_(std::move(name)),
        text_(std::move(text)),
        listener_(listener),
        clock_(clock),
        options_(std::move(options)) {}
  ~TcpLine() override {
    net::Close(socket_);
    net::Close(listener_);
  }

  // A socket has no port settings: what was set is given back, so the
  // recorder's opening and closing of a line work unchanged; NUL discarding
  // and XON/XOFF on output are done here as a driver does them.
  bool GetSettings(PortSettings& settings) override {
    settings = settings_;
    return true;
  }
  bool SetSettings(const PortSettings& settings) override {
    settings_ = settings;
    if (!settings_.outX) peerHeld_ = false;
    return true;
  }
  bool SetQueues(std::uint32_t, std::uint32_t) override { return true; }

  // Without a connection a write goes nowhere, as bytes sent on a serial
  // line without a cable: it is neither an error nor a hold.
  IoResult Write(std::span<const std::uint8_t> bytes) override {
    IoResult r{.ok = true};
    if (link_ != Link::kUp) {
      r.bytes = bytes.size();
      return r;
    }
    const auto deadline = DeadlineAfter(Timeouts().writeTotalMs);
    while (r.bytes < bytes.size() && link_ == Link::kUp) {
      if (!peerHeld_) {
        const net::Transfer t =
            net::Send(socket_, bytes.data() + r.bytes, bytes.size() - r.bytes);
        if (t.bytes > 0) {
          r.bytes += static_cast<std::size_t>(t.bytes);
          continue;
        }
        if (t.failed) {
          Drop(t.error);
          break;
        }
      }
      const int waitMs = MsUntil(deadline);
      if (waitMs == 0) break;  // the write time-out: what went out is reported
      // The far end's XON comes in with its data: it is read meanwhile.
      const bool room = inbox_.size() < kInboxLimitBytes;
      const net::Readiness ready =
          net::Wait(socket_, room, !peerHeld_, net::kNoSocket, waitMs, nullptr);
      if (ready.failed) break;
      if (ready.readable) ReceiveIntoInbox();
    }
    return r;
  }

  // XON and XOFF go out at once, even while the far end holds the output;
  // without a connection the latest one is kept and goes out when one comes
  // up, so the exchange is held or released as the recorder last asked.
  IoResult SendFlowChar(std::uint8_t byte) override {
    if (byte != settings_.xonChar && byte != settings_.xoffChar)
      return Write(std::span(&byte, 1));
    flowChar_ = byte;
    if (link_ != Link::kUp) return {.ok = true, .bytes = 1};
    return SendNow(byte);
  }

  bool Carrier() override { return link_ == Link::kUp; }
  bool SetDtr(bool) override { return true; }
  bool SetRts(bool) override { return true; }
  std::uint32_t LastError() const override { return lastError_; }
  void SetNotices(std::function<void(std::string)> notice) override { notice_ = std::move(notice); }

 private:
  enum class Link { kDown, kResolving, kConnecting, kUp };

  void Notice(std::string text) {
    if (notice_) notice_(std::move(text));
  }

  IoResult ReadUntil(std::span<std::uint8_t> buffer, const Deadline& deadline,
                     WakeSignal* wake) override {
    IoResult r{.ok = true};
    Deadline quiet;  // the interval time-out's end, once a byte has come
    for (;;) {
      // Bytes kept from a held write count as arrivals too.
      const std::size_t before = r.bytes;
      TakeInbox(buffer, r);
      if (ReportEnd(r)) return r;
      if (!name_.listen && link_ == Link::kDown && clock_.TickMs() >= nextAttemptMs_)
        StartAttempt();
      if (link_ == Link::kResolving) {
        if (std::optional<net::Resolution> resolved = TakeResolution(*job_)) {
          job_.reset();
          Resolved(std::move(*resolved));
        }
      }
      // The connection is read before a waiting one is taken: an exchange
      // that closed and connected again is seen closed first, not refused.
      if (link_ == Link::kUp) ReceiveInto(buffer, r);
      if (r.bytes > before) quiet = QuietDeadline();
      if (ReportEnd(r)) return r;
      if (name_.listen) AcceptWaiting();
      if (ReportEnd(r)) return r;
      if (r.bytes == buffer.size()) return r;
      int waitMs = MsUntil(Sooner(deadline, quiet));
      if (waitMs == 0) return r;
      if (wake != nullptr && wake->Wait(0)) return r;
      if (link_ == Link::kResolving) {
        // The name server's answer, the wake and the deadline, whichever
        // comes first.
        const auto ms = waitMs < 0 ? UINT32_MAX : static_cast<std::uint32_t>(waitMs);
        if (wake != nullptr)
          WaitForEither(job_->finished, *wake, ms);
        else
          job_->finished.Wait(ms);
        continue;
      }
      // A connecting line without a connection looks again when the next
      // attempt is due.
      if (!name_.listen && link_ == Link::kDown)
        waitMs = Shorter(waitMs, MsUntilTick(clock_, nextAttemptMs_));
      const bool resting = name_.listen && clock_.TickMs() < acceptResumeMs_;
      if (resting) waitMs = Shorter(waitMs, MsUntilTick(clock_, acceptResumeMs_));
      const bool up = link_ == Link::kUp;
      const bool connecting = link_ == Link::kConnecting;
      const net::Readiness ready =
          net::Wait(up || connecting ? socket_ : net::kNoSocket, up, connecting,
                    name_.listen && !resting ? listener_ : net::kNoSocket, waitMs, wake);
      if (ready.failed) {
        lastError_ = ready.error;
        return {.ok = false, .bytes = r.bytes, .error = ready.error};
      }
      if (connecting && ready.writable) FinishAttempt();
    }
  }

  // The end of a connection is told once what it sent has been handed over.
  bool ReportEnd(IoResult& r) {
    if (!connectionEnded_ || !inbox_.empty()) return false;
    connectionEnded_ = false;
    r.connectionEnded = true;
    return true;
  }

  void TakeInbox(std::span<std::uint8_t> buffer, IoResult& r) {
    const std::size_t n = std::min(inbox_.size(), buffer.size() - r.bytes);
    if (n == 0) return;
    std::copy_n(inbox_.begin(), n, buffer.begin() + static_cast<std::ptrdiff_t>(r.bytes));
    inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(n));
    r.bytes += n;
  }

  // What a serial driver does with received bytes before the program sees
  // them: the far end's XON and XOFF move the output hold, NULs go when they
  // are to be discarded. Returns how many bytes are left at the front.
  std::size_t Filter(std::uint8_t* bytes, std::size_t count) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t b = bytes[i];
      if (settings_.outX && (b == settings_.xoffChar || b == settings_.xonChar)) {
        peerHeld_ = b == settings_.xoffChar;
        continue;
      }
      if (settings_.discardNull && b == 0) continue;
      bytes[kept++] = b;
    }
    return kept;
  }

  // One receive; false when nothing more is there now (or the connection
  // was dropped).
  bool ReceiveOnce(std::uint8_t* data, std::size_t size, std::size_t& kept) {
    const net::Transfer t = net::Receive(socket_, data, size);
    if (t.bytes > 0) {
      lastReceiveMs_ = clock_.TickMs();
      kept = Filter(data, static_cast<std::size_t>(t.bytes));
      return true;
    }
    if (!t.wouldBlock) Drop(t.failed ? t.error : net::ClosedByPeerError());
    return false;
  }

  // Takes what the connection holds, up to the buffer's end; a closed or
  // failed connection is dropped.
  void ReceiveInto(std::span<std::uint8_t> buffer, IoResult& r) {
    while (link_ == Link::kUp && r.bytes < buffer.size()) {
      std::size_t kept = 0;
      if (!ReceiveOnce(buffer.data() + r.bytes, buffer.size() - r.bytes, kept)) return;
      r.bytes += kept;
    }
  }

  void ReceiveIntoInbox() {
    std::uint8_t chunk[4096];
    while (link_ == Link::kUp && inbox_.size() < kInboxLimitBytes) {
      std::size_t kept = 0;
      if (!ReceiveOnce(chunk, sizeof chunk, kept)) return;
      inbox_.insert(inbox_.end(), chunk, chunk + kept);
    }
  }

  IoResult SendNow(std::uint8_t byte) {
    const auto deadline = DeadlineAfter(Timeouts().writeTotalMs);
    while (link_ == Link::kUp) {
      const net::Transfer t = net::Send(socket_, &byte, 1);
      if (t.bytes > 0) return {.ok = true, .bytes = 1};
      if (t.failed) {
        Drop(t.error);
        break;
      }
      const int waitMs = MsUntil(deadline);
      if (waitMs == 0) return {.ok = true};
      if (net::Wait(socket_, false, true, net::kNoSocket, waitMs, nullptr).failed) break;
    }
    // The connection went while sending: the byte goes out with the next one.
    return {.ok = true, .bytes = 1};
  }

  // A new connection: the far end holds nothing yet, and learns the
  // recorder's last XON or XOFF.
  void LinkUp(net::SocketHandle socket) {
    socket_ = socket;
    link_ = Link::kUp;
    peerHeld_ = false;
    lastReceiveMs_ = clock_.TickMs();
    if (flowChar_) SendNow(*flowChar_);
  }

  // --- Connecting ---

  void StartAttempt() {
    // A numeric address needs no name server.
    if (const std::string numeric = net::CanonicalAddress(name_.host); !numeric.empty()) {
      Resolved({.addresses = {numeric}});
      return;
    }
    link_ = Link::kResolving;
    job_ = StartResolution(options_.resolve, name_.host, name_.port);
  }

  void Resolved(net::Resolution resolution) {
    link_ = Link::kDown;
    addresses_ = std::move(resolution.addresses);
    nextAddress_ = 0;
    if (addresses_.empty()) {
      AttemptFailed(resolution.error != 0 ? resolution.error : net::InvalidAddressError());
      return;
    }
    TryNextAddress(0);
  }

  // Each address in turn, until one connects or all have failed.
  void TryNextAddress(std::uint32_t lastError) {
    while (nextAddress_ < addresses_.size()) {
      const net::ConnectStart start = net::StartConnectTo(addresses_[nextAddress_++], name_.port);
      if (start.socket == net::kNoSocket) {
        lastError = start.error;
        continue;
      }
      socket_ = start.socket;
      link_ = Link::kConnecting;
      if (!start.inProgress) FinishAttempt();
      return;
    }
    addresses_.clear();
    AttemptFailed(lastError);
  }

  void FinishAttempt() {
    const std::uint32_t error = net::ConnectError(socket_);
    if (error != 0) {
      net::Close(socket_);
      socket_ = net::kNoSocket;
      link_ = Link::kDown;
      TryNextAddress(error);
      return;
    }
    addresses_.clear();  // the name is asked again for the next connection
    LinkUp(socket_);
    pauseMs_ = kFirstReconnectPauseMs;
    if (outage_) Notice("Connessione " + text_ + " di nuovo attiva");
    outage_ = false;
  }

  void AttemptFailed(std::uint32_t error) {
    lastError_ = error;
    link_ = Link::kDown;
    if (!outage_) Notice("Connessione " + text_ + " non riuscita: " + SystemErrorText(error));
    outage_ = true;
    nextAttemptMs_ = clock_.TickMs() + pauseMs_;
    pauseMs_ = std::min(pauseMs_ * 2, kLastReconnectPauseMs);
  }

  // --- Listening ---

  bool Allowed(const std::string& address) const {
    if (options_.allowedPeers.empty()) return true;
    return std::find(options_.allowedPeers.begin(), options_.allowedPeers.end(), address) !=
           options_.allowedPeers.end();
  }

  void AcceptWaiting() {
    while (clock_.TickMs() >= acceptResumeMs_) {
      const net::Incoming incoming = options_.accept(listener_);
      if (incoming.socket == net::kNoSocket) {
        if (incoming.error == 0) return;
        // Out of descriptors: the connection stays queued and the listener
        // readable. It rests instead of being asked again at once.
        lastError_ = incoming.error;
        acceptResumeMs_ = clock_.TickMs() + kAcceptPauseMs;
        if (!acceptFailureSaid_)
          Notice("Connessione " + text_ + " non accettata: " + SystemErrorText(incoming.error));
        acceptFailureSaid_ = true;
        return;
      }
      acceptFailureSaid_ = false;
      const std::string peer = incoming.address + ":" + incoming.port;
      if (!Allowed(incoming.address)) {
        // Said once until an allowed one is taken: a stranger that keeps
        // trying must not fill the log.
        net::Close(incoming.socket);
        if (!strangerSaid_)
          Notice("Connessione " + text_ + " da " + peer + " rifiutata: indirizzo non ammesso");
        strangerSaid_ = true;
        continue;
      }
      // An exchange that closed and connected again at once: its close may
      // have come after the last look at the connection.
      if (link_ == Link::kUp) ReceiveIntoInbox();
      if (link_ == Link::kUp) {
        if (clock_.TickMs() - lastReceiveMs_ < options_.idleTakeoverMs) {
          // One exchange at a time: a second one would interleave its
          // records. Said once while the connection lasts.
          net::Close(incoming.socket);
          if (!refusalSaid_)
            Notice("Connessione " + text_ + " da " + peer + " rifiutata: un'altra è in corso");
          refusalSaid_ = true;
          continue;
        }
        // The one up has been silent for long: most likely what is left of
        // an exchange that restarted. The new one takes the line.
        Notice("Connessione " + text_ + " da " + peer_ + " lasciata per " + peer +
               ": nessun dato da " + std::to_string(options_.idleTakeoverMs / 1000) + " s");
        EndConnection();
      }
      LinkUp(incoming.socket);
      peer_ = peer;
      strangerSaid_ = false;
      Notice("Connessione " + text_ + " da " + peer);
      // What the old connection sent is told ended before the new one is read.
      if (connectionEnded_) return;
    }
  }

  void EndConnection() {
    net::Close(socket_);
    socket_ = net::kNoSocket;
    link_ = Link::kDown;
    peerHeld_ = false;
    refusalSaid_ = false;
    connectionEnded_ = true;
  }

  // The connection has ended: a connecting line tries again after the
  // first pause, a listening one takes the next connection.
  void Drop(std::uint32_t error) {
    lastError_ = error;
    EndConnection();
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
  const TcpLineOptions options_;
  Link link_ = Link::kDown;
  std::shared_ptr<ResolutionJob> job_;  // while resolving
  std::vector<std::string> addresses_;  // of the attempt under way
  std::size_t nextAddress_ = 0;
  bool outage_ = false;  // said once; the return is said once too
  bool refusalSaid_ = false;
  bool strangerSaid_ = false;
  bool acceptFailureSaid_ = false;
  std::uint64_t acceptResumeMs_ = 0;
  std::uint64_t nextAttemptMs_ = 0;
  std::uint32_t pauseMs_ = kFirstReconnectPauseMs;
  std::uint32_t lastError_ = 0;
  std::uint64_t lastReceiveMs_ = 0;
  std::string peer_;
  bool connectionEnded_ = false;  // not yet told by a read
  bool peerHeld_ = false;         // the far end's XOFF holds the output
  std::optional<std::uint8_t> flowChar_;  // the recorder's last XON or XOFF
  std::vector<std::uint8_t> inbox_;
  PortSettings settings_;
  std::function<void(std::string)> notice_;
};

bool IsBlankOrComma(char c) { return c == ' ' || c == '\t' || c == ','; }

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

std::vector<std::string> ParseAllowedPeers(std::string_view list, std::vector<std::string>* bad) {
  std::vector<std::string> peers;
  std::size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && IsBlankOrComma(list[i])) ++i;
    std::size_t end = i;
    while (end < list.size() && !IsBlankOrComma(list[end])) ++end;
    if (end == i) break;
    const std::string entry = Unbracket(list.substr(i, end - i));
    const std::string canonical = net::CanonicalAddress(entry);
    if (canonical.empty()) {
      if (bad) bad->push_back(std::string(list.substr(i, end - i)));
    } else if (std::find(peers.begin(), peers.end(), canonical) == peers.end()) {
      peers.push_back(canonical);
    }
    i = end;
  }
  return peers;
}

bool ListensOnEveryAddress(const TcpPortName& name) {
  if (!name.listen) return false;
  if (name.host.empty()) return true;
  const std::string canonical = net::CanonicalAddress(name.host);
  return canonical == "0.0.0.0" || canonical == "::";
}

std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error,
                                  const Clock& clock, TcpLineOptions options) {
  auto fail = [&](std::uint32_t code) -> std::unique_ptr<Line> {
    if (error) *error = code;
    return nullptr;
  };
  const std::optional<TcpPortName> parsed = ParseTcpPortName(name);
  if (!parsed) return fail(net::InvalidAddressError());
  net::SocketHandle listener = net::kNoSocket;
  if (parsed->listen) {
    // A name is asked of the name server, for a bounded time: the opening
    // must not hold a stop. It listens on the name's first IPv4 address
    // (its first address when it has none): "localhost" is 127.0.0.1.
    std::string address = parsed->host;
    if (!address.empty() && net::CanonicalAddress(address).empty()) {
      const auto job = StartResolution(options.resolve, address, parsed->port);
      job->finished.Wait(kListenResolveMs);
      const std::optional<net::Resolution> resolved = TakeResolution(*job);
      if (!resolved) return fail(net::TimedOutError());
      if (resolved->addresses.empty())
        return fail(resolved->error != 0 ? resolved->error : net::InvalidAddressError());
      address = resolved->addresses.front();
      for (const std::string& candidate : resolved->addresses) {
        if (candidate.find(':') == std::string::npos) {
          address = candidate;
          break;
        }
      }
    }
    std::uint32_t listenError = 0;
    listener = net::Listen(address, parsed->port, listenError);
    if (listener == net::kNoSocket) return fail(listenError);
  }
  if (error) *error = 0;
  return std::make_unique<TcpLine>(*parsed, name, listener, clock, std::move(options));
}

std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error,
                                  const Clock& clock) {
  return OpenTcpLine(name, error, clock, TcpLineOptions{});
}

std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error) {
  static const SystemClock clock;
  return OpenTcpLine(name, error, clock);
}

}  // namespace vr
