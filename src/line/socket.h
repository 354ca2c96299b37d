#pragma once
// The few stream-socket calls the TCP line needs, the same on POSIX and on
// Winsock: every socket is non-blocking, and one wait covers the connection,
// the listening socket and the worker's wake signal.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/wake_signal.h"

namespace vr::net {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// A connection under way or made; kNoSocket with the error when the attempt
// could not even start (no such host, no socket).
struct ConnectStart {
  SocketHandle socket = kNoSocket;
  bool inProgress = false;
  std::uint32_t error = 0;
};
ConnectStart StartConnect(const std::string& host, const std::string& port);
// The same to one numeric address: never asks a name server, so it never
// blocks.
ConnectStart StartConnectTo(const std::string& address, const std::string& port);

// The numeric addresses a host name stands for, in the order the system
// gives them, each once; none, with the error, when the name does not
// resolve. May block for the name server's time.
struct Resolution {
  std::vector<std::string> addresses;
  std::uint32_t error = 0;
};
Resolution Resolve(const std::string& host, const std::string& port);

// The canonical text of a numeric IPv4 or IPv6 address, an IPv4 address
// mapped into IPv6 read as the IPv4 one ("::ffff:10.0.0.1" is "10.0.0.1");
// "" when text is no numeric address.
std::string CanonicalAddress(const std::string& text);
// Once a connecting socket is writable: 0 when it is connected, else the error.
std::uint32_t ConnectError(SocketHandle socket);

// A listening socket on address (empty: every address) and port.
SocketHandle Listen(const std::string& address, const std::string& port, std::uint32_t& error);
// The port a socket is bound to ("" when unknown): for a listener on port 0.
std::string LocalPort(SocketHandle socket);
// A waiting connection, or kNoSocket when there is none; peer: "ADDRESS:PORT".
SocketHandle Accept(SocketHandle listener, std::string& peer);
// The same, telling a listener with nothing waiting (error 0) from a failed
// accept (the error: out of descriptors, out of memory).
struct Incoming {
  SocketHandle socket = kNoSocket;
  std::string address;  // numeric, canonical
  std::string port;
  std::uint32_t error = 0;
};
Incoming AcceptIncoming(SocketHandle listener);

struct Transfer {
  long bytes = 0;          // > 0 moved, 0 with !wouldBlock and !failed: the far end closed
  bool wouldBlock = false;
  bool failed = false;
  std::uint32_t error = 0;
};
Transfer Receive(SocketHandle socket, std::uint8_t* data, std::size_t size);
Transfer Send(SocketHandle socket, const std::uint8_t* data, std::size_t size);

void Close(SocketHandle socket);

struct Readiness {
  bool readable = false;
  bool writable = false;
  bool listenerReadable = false;
  bool failed = false;
  std::uint32_t error = 0;
};
// Waits until socket is readable (wantRead) or writable (wantWrite), the
// listener has a connection waiting, wake is raised, or timeoutMs has passed
// (-1: no end). Either socket may be kNoSocket.
Readiness Wait(SocketHandle socket, bool wantRead, bool wantWrite, SocketHandle listener,
               int timeoutMs, WakeSignal* wake);

// The system error that a connection reset carries, for a far end that
// closed the connection.
std::uint32_t ClosedByPeerError();
// What a port name with a bad address reports.
std::uint32_t InvalidAddressError();
// What a name that the name server did not answer in time reports.
std::uint32_t TimedOutError();

}  // namespace vr::net
