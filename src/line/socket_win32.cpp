#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cstring>
#include <mutex>

#include "line/socket.h"

namespace vr::net {
namespace {

SOCKET Sock(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Winsock is started once for the process and left running: the program
// ends soon after its last line is closed.
bool Started() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    WSADATA data{};
    ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return ok;
}

std::uint32_t LastError() { return static_cast<std::uint32_t>(WSAGetLastError()); }

bool MakeNonBlocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

// A far end that vanished without closing (a power cut, a pulled cable)
// would hold a connection open for hours, and a listening line would refuse
// the exchange's new one all that time: the system probes a silent
// connection after 30 s, every 10 s.
void KeepAlive(SOCKET s) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = 30000;
  values.keepaliveinterval = 10000;
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
           nullptr);
  // Records are small and wanted at once.
  const BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

bool WouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }

}  // namespace

namespace {

ConnectStart ConnectWith(const std::string& host, const std::string& port, int flags) {
  ConnectStart start;
  if (!Started()) {
    start.error = LastError();
    return start;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
    start.error = LastError();
    return start;
  }
  const SOCKET s = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET || !MakeNonBlocking(s)) {
    start.error = LastError();
    if (s != INVALID_SOCKET) closesocket(s);
    freeaddrinfo(found);
    return start;
  }
  KeepAlive(s);
  const int result = connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen));
  const int error = WSAGetLastError();
  freeaddrinfo(found);
  if (result == 0 || WouldBlock(error)) {
    start.socket = static_cast<SocketHandle>(s);
    start.inProgress = result != 0;
    return start;
  }
  closesocket(s);
  start.error = static_cast<std::uint32_t>(error);
  return start;
}

// The numeric text of an address, IPv4 mapped into IPv6 as IPv4.
std::string NumericText(const sockaddr* address, int length) {
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
  if (!Started()) {
    resolution.error = LastError();
    return resolution;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
    resolution.error = LastError();
    return resolution;
  }
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const std::string text = NumericText(a->ai_addr, static_cast<int>(a->ai_addrlen));
    if (text.empty()) continue;
    bool seen = false;
    for (const std::string& known : resolution.addresses) seen = seen || known == text;
    if (!seen) resolution.addresses.push_back(text);
  }
  freeaddrinfo(found);
  if (resolution.addresses.empty()) resolution.error = WSAHOST_NOT_FOUND;
  return resolution;
}

std::string CanonicalAddress(const std::string& text) {
  if (text.empty() || !Started()) return "";
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0) return "";
  const std::string canonical = NumericText(found->ai_addr, static_cast<int>(found->ai_addrlen));
  freeaddrinfo(found);
  return canonical;
}

std::uint32_t ConnectError(SocketHandle socket) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
      0)
    error = WSAGetLastError();
  return static_cast<std::uint32_t>(error);
}

SocketHandle Listen(const std::string& address, const std::string& port, std::uint32_t& error) {
  if (!Started()) {
    error = LastError();
    return kNoSocket;
  }
  addrinfo hints{};
  // Without an address: every IPv4 address.
  hints.ai_family = address.empty() ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.empty() ? nullptr : address.c_str(), port.c_str(), &hints, &found) !=
      0) {
    error = LastError();
    return kNoSocket;
  }
  const SOCKET s = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = LastError();
    freeaddrinfo(found);
    return kNoSocket;
  }
  // Not SO_REUSEADDR: on Windows it would let a second program take the
  // same port. Exclusive use keeps a second recorder out.
  const BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  const bool ok = bind(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 &&
                  listen(s, 4) == 0 && MakeNonBlocking(s);
  error = ok ? 0 : LastError();
  freeaddrinfo(found);
  if (!ok) {
    closesocket(s);
    return kNoSocket;
  }
  return static_cast<SocketHandle>(s);
}

std::string LocalPort(SocketHandle socket) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  char port[NI_MAXSERV] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, nullptr, 0, port,
                  sizeof port, NI_NUMERICSERV) != 0)
    return "";
  return port;
}

Incoming AcceptIncoming(SocketHandle listener) {
  Incoming incoming;
  sockaddr_storage address{};
  int length = sizeof address;
  const SOCKET s = accept(Sock(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (s == INVALID_SOCKET) {
    // A connection that went away before it was taken is no failure either.
    const int error = WSAGetLastError();
    if (!WouldBlock(error) && error != WSAECONNRESET && error != WSAECONNABORTED)
      incoming.error = static_cast<std::uint32_t>(error);
    return incoming;
  }
  MakeNonBlocking(s);
  KeepAlive(s);
  incoming.socket = static_cast<SocketHandle>(s);
  incoming.address = NumericText(reinterpret_cast<const sockaddr*>(&address), length);
  char port[NI_MAXSERV] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, nullptr, 0, port,
                  sizeof port, NI_NUMERICSERV) == 0)
    incoming.port = port;
  return incoming;
}

SocketHandle Accept(SocketHandle listener, std::string& peer) {
  const Incoming incoming = AcceptIncoming(listener);
  if (incoming.socket != kNoSocket)
    peer = incoming.address.empty() ? "?" : incoming.address + ":" + incoming.port;
  return incoming.socket;
}

namespace {

Transfer Moved(int n) {
  Transfer t;
  if (n >= 0) {
    t.bytes = n;
    return t;
  }
  const int error = WSAGetLastError();
  if (WouldBlock(error)) {
    t.wouldBlock = true;
  } else {
    t.failed = true;
    t.error = static_cast<std::uint32_t>(error);
  }
  return t;
}

int Clamp(std::size_t size) { return size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size); }

}  // namespace

Transfer Receive(SocketHandle socket, std::uint8_t* data, std::size_t size) {
  return Moved(recv(Sock(socket), reinterpret_cast<char*>(data), Clamp(size), 0));
}

Transfer Send(SocketHandle socket, const std::uint8_t* data, std::size_t size) {
  return Moved(send(Sock(socket), reinterpret_cast<const char*>(data), Clamp(size), 0));
}

void Close(SocketHandle socket) {
  if (socket != kNoSocket) closesocket(Sock(socket));
}

// The sockets' readiness becomes an event (WSAEventSelect), waited on with
// the wake signal's event; select() could not wait on the latter.
Readiness Wait(SocketHandle socket, bool wantRead, bool wantWrite, SocketHandle listener,
               int timeoutMs, WakeSignal* wake) {
  Readiness r;
  const bool watchSocket = socket != kNoSocket && (wantRead || wantWrite);
  // First a look without waiting: WSAEventSelect reports a state such as
  // "writable" only on its change, so a state already there is seen here.
  {
    fd_set readSet;
    fd_set writeSet;
    fd_set errorSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    if (watchSocket && wantRead) FD_SET(Sock(socket), &readSet);
    if (watchSocket && wantWrite) {
      FD_SET(Sock(socket), &writeSet);
      FD_SET(Sock(socket), &errorSet);  // a failed connection shows here
    }
    if (listener != kNoSocket) FD_SET(Sock(listener), &readSet);
    if (watchSocket || listener != kNoSocket) {
      timeval now{0, 0};
      if (select(0, &readSet, &writeSet, &errorSet, &now) > 0) {
        r.readable = watchSocket && wantRead && FD_ISSET(Sock(socket), &readSet);
        r.writable = watchSocket && wantWrite &&
                     (FD_ISSET(Sock(socket), &writeSet) || FD_ISSET(Sock(socket), &errorSet));
        r.listenerReadable = listener != kNoSocket && FD_ISSET(Sock(listener), &readSet);
        if (r.readable || r.writable || r.listenerReadable) return r;
      }
    }
  }
  HANDLE events[3] = {};
  DWORD count = 0;
  WSAEVENT socketEvent = WSA_INVALID_EVENT;
  WSAEVENT listenerEvent = WSA_INVALID_EVENT;
  if (watchSocket) {
    socketEvent = WSACreateEvent();
    WSAEventSelect(Sock(socket), socketEvent,
                   (wantRead ? FD_READ | FD_CLOSE : 0) | (wantWrite ? FD_WRITE | FD_CONNECT : 0));
    events[count++] = socketEvent;
  }
  if (listener != kNoSocket) {
    listenerEvent = WSACreateEvent();
    WSAEventSelect(Sock(listener), listenerEvent, FD_ACCEPT);
    events[count++] = listenerEvent;
  }
  if (wake != nullptr && wake->NativeHandle() > 0)
    events[count++] = reinterpret_cast<HANDLE>(wake->NativeHandle());
  const DWORD waited = count == 0 ? (Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)),
                                     WAIT_TIMEOUT)
                                  : WaitForMultipleObjects(count, events, FALSE,
                                                           timeoutMs < 0 ? INFINITE
                                                                         : static_cast<DWORD>(timeoutMs));
  if (waited == WAIT_FAILED) {
    r.failed = true;
    r.error = GetLastError();
  }
  if (socketEvent != WSA_INVALID_EVENT) {
    WSANETWORKEVENTS happened{};
    WSAEnumNetworkEvents(Sock(socket), socketEvent, &happened);
    r.readable = wantRead && (happened.lNetworkEvents & (FD_READ | FD_CLOSE)) != 0;
    r.writable = wantWrite && (happened.lNetworkEvents & (FD_WRITE | FD_CONNECT)) != 0;
    // Back to a plain non-blocking socket.
    WSAEventSelect(Sock(socket), nullptr, 0);
    WSACloseEvent(socketEvent);
  }
  if (listenerEvent != WSA_INVALID_EVENT) {
    WSANETWORKEVENTS happened{};
    WSAEnumNetworkEvents(Sock(listener), listenerEvent, &happened);
    r.listenerReadable = (happened.lNetworkEvents & FD_ACCEPT) != 0;
    WSAEventSelect(Sock(listener), nullptr, 0);
    WSACloseEvent(listenerEvent);
  }
  return r;
}

std::uint32_t ClosedByPeerError() { return WSAECONNRESET; }
std::uint32_t InvalidAddressError() { return WSAEINVAL; }
std::uint32_t TimedOutError() { return WSAETIMEDOUT; }

}  // namespace vr::net
