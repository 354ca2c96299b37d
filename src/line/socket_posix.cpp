#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "line/socket.h"

namespace vr::net {
namespace {

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

bool MakeNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// getaddrinfo's own codes are not errno values: a name that does not
// resolve reads as an unreachable host.
std::uint32_t ResolveError(int code) {
  if (code == EAI_SYSTEM) return static_cast<std::uint32_t>(errno);
  return EHOSTUNREACH;
}

// A far end that vanished without closing (a power cut, a pulled cable)
// would hold a connection open for hours, and a listening line would refuse
// the exchange's new one all that time: the system probes a silent
// connection after 30 s and gives it up after three unanswered probes.
void KeepAlive(int fd) {
  const int on = 1;
  const int idle = 30;
  const int interval = 10;
  const int count = 3;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  // Records are small and wanted at once.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::string PeerText(const std::string& address, const std::string& port) {
  if (address.empty()) return "?";
  return address + ":" + port;
}

}  // namespace

namespace {

ConnectStart ConnectWith(const std::string& host, const std::string& port, int flags) {
  ConnectStart start;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  if (const int code = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); code != 0) {
    start.error = ResolveError(code);
    return start;
  }
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || !MakeNonBlocking(fd)) {
    start.error = static_cast<std::uint32_t>(errno);
    if (fd >= 0) close(fd);
    freeaddrinfo(found);
    return start;
  }
  KeepAlive(fd);
  const int result = connect(fd, found->ai_addr, found->ai_addrlen);
  const int error = errno;
  freeaddrinfo(found);
  if (result == 0 || error == EINPROGRESS) {
    start.socket = fd;
    start.inProgress = result != 0;
    return start;
  }
  close(fd);
  start.error = static_cast<std::uint32_t>(error);
  return start;
}

// The numeric text of an address, IPv4 mapped into IPv6 as IPv4.
std::string NumericText(const sockaddr* address, socklen_t length) {
  sockaddr_in plain{};
  if (address->sa_family == AF_INET6) {
    const auto* six = reinterpret_cast<const sockaddr_in6*>(address);
    if (IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) {
      plain.sin_family = AF_INET;
      std::memcpy(&plain.sin_addr, six->sin6_addr.s6_addr + 12, 4);
      address = reinterpret_cast<const sockaddr*>(&plain);
      length = sizeof plain;
    }
  }
  char host[NI_MAXHOST] = {};
  if (getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return "";
  return host;
}

}  // namespace

ConnectStart StartConnect(const std::string& host, const std::string& port) {
  return ConnectWith(host, port, 0);
}

ConnectStart StartConnectTo(const std::string& address, const std::string& port) {
  return ConnectWith(address, port, AI_NUMERICHOST | AI_NUMERICSERV);
}

Resolution Resolve(const std::string& host, const std::string& port) {
  Resolution resolution;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int code = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); code != 0) {
    resolution.error = ResolveError(code);
    return resolution;
  }
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const std::string text = NumericText(a->ai_addr, a->ai_addrlen);
    if (text.empty()) continue;
    bool seen = false;
    for (const std::string& known : resolution.addresses) seen = seen || known == text;
    if (!seen) resolution.addresses.push_back(text);
  }
  freeaddrinfo(found);
  if (resolution.addresses.empty()) resolution.error = EHOSTUNREACH;
  return resolution;
}

std::string CanonicalAddress(const std::string& text) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (text.empty() || getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0) return "";
  const std::string canonical = NumericText(found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  return canonical;
}

std::uint32_t ConnectError(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  return static_cast<std::uint32_t>(error);
}

SocketHandle Listen(const std::string& address, const std::string& port, std::uint32_t& error) {
  addrinfo hints{};
  // Without an address: every IPv4 address.
  hints.ai_family = address.empty() ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (const int code =
          getaddrinfo(address.empty() ? nullptr : address.c_str(), port.c_str(), &hints, &found);
      code != 0) {
    error = ResolveError(code);
    return kNoSocket;
  }
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = static_cast<std::uint32_t>(errno);
    freeaddrinfo(found);
    return kNoSocket;
  }
  const int on = 1;
  // A restarted recorder takes its port back at once.
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const bool ok = bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 4) == 0 &&
                  MakeNonBlocking(fd);
  error = ok ? 0 : static_cast<std::uint32_t>(errno);
  freeaddrinfo(found);
  if (!ok) {
    close(fd);
    return kNoSocket;
  }
  return fd;
}

std::string LocalPort(SocketHandle socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  char port[NI_MAXSERV] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, nullptr, 0, port,
                  sizeof port, NI_NUMERICSERV) != 0)
    return "";
  return port;
}

Incoming AcceptIncoming(SocketHandle listener) {
  Incoming incoming;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  int fd = -1;
  do {
    fd = accept4(Fd(listener), reinterpret_cast<sockaddr*>(&address), &length,
                 SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A connection that went away before it was taken is no failure either.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED)
      incoming.error = static_cast<std::uint32_t>(errno);
    return incoming;
  }
  KeepAlive(fd);
  incoming.socket = fd;
  incoming.address = NumericText(reinterpret_cast<const sockaddr*>(&address), length);
  char port[NI_MAXSERV] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, nullptr, 0, port,
                  sizeof port, NI_NUMERICSERV) == 0)
    incoming.port = port;
  return incoming;
}

SocketHandle Accept(SocketHandle listener, std::string& peer) {
  Incoming incoming = AcceptIncoming(listener);
  if (incoming.socket != kNoSocket) peer = PeerText(incoming.address, incoming.port);
  return incoming.socket;
}

namespace {

// One call of recv or send, again after a signal.
template <typename Call>
Transfer Move(Call call) {
  Transfer t;
  for (;;) {
    const ssize_t n = call();
    if (n >= 0) {
      t.bytes = static_cast<long>(n);
      return t;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      t.wouldBlock = true;
    } else {
      t.failed = true;
      t.error = static_cast<std::uint32_t>(errno);
    }
    return t;
  }
}

}  // namespace

Transfer Receive(SocketHandle socket, std::uint8_t* data, std::size_t size) {
  return Move([&] { return recv(Fd(socket), data, size, 0); });
}

Transfer Send(SocketHandle socket, const std::uint8_t* data, std::size_t size) {
  // No SIGPIPE for a far end that has gone: the error says so.
  return Move([&] { return send(Fd(socket), data, size, MSG_NOSIGNAL); });
}

void Close(SocketHandle socket) {
  if (socket != kNoSocket) close(Fd(socket));
}

Readiness Wait(SocketHandle socket, bool wantRead, bool wantWrite, SocketHandle listener,
               int timeoutMs, WakeSignal* wake) {
  pollfd p[3] = {};
  nfds_t count = 0;
  int socketAt = -1;
  int listenerAt = -1;
  if (socket != kNoSocket && (wantRead || wantWrite)) {
    socketAt = static_cast<int>(count);
    p[count++] = {Fd(socket), static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)),
                  0};
  }
  if (listener != kNoSocket) {
    listenerAt = static_cast<int>(count);
    p[count++] = {Fd(listener), POLLIN, 0};
  }
  if (wake != nullptr && wake->NativeHandle() >= 0)
    p[count++] = {static_cast<int>(wake->NativeHandle()), POLLIN, 0};
  Readiness r;
  if (poll(p, count, timeoutMs) < 0) {
    if (errno != EINTR) {
      r.failed = true;
      r.error = static_cast<std::uint32_t>(errno);
    }
    return r;
  }
  if (socketAt >= 0) {
    const short events = p[socketAt].revents;
    // A hang-up or an error shows when the socket is read or written.
    r.readable = (events & (POLLIN | POLLHUP | POLLERR)) != 0 && wantRead;
    r.writable = (events & (POLLOUT | POLLHUP | POLLERR)) != 0 && wantWrite;
  }
  if (listenerAt >= 0) r.listenerReadable = (p[listenerAt].revents & POLLIN) != 0;
  return r;
}

std::uint32_t ClosedByPeerError() { return ECONNRESET; }
std::uint32_t InvalidAddressError() { return EINVAL; }
std::uint32_t TimedOutError() { return ETIMEDOUT; }

}  // namespace vr::net
