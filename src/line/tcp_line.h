#pragma once
// An exchange that serves its call records over the network instead of a
// serial line: Com=tcp:HOST:PORT connects to it, Com=tcp-listen:[ADDRESS:]PORT
// takes its connection. Either is a Line like a serial port, so every kind of
// site reads it as it reads a port: the read and write time-outs keep their
// meaning, XON and XOFF go out as bytes, and the modem lines do not exist
// (Carrier tells whether a connection is up; DTR and RTS do nothing).
//
// It hands over the bytes a serial port would: NULs dropped when the port
// settings discard them (EliminaNull), the far end's XON and XOFF taken as
// flow control when the settings ask for it on output (Handshake=XON): XOFF
// holds what the recorder writes, XON releases it, and neither reaches the
// data. A read that sees its connection end returns with what that
// connection sent, marked connectionEnded, so that a partial line is not
// glued to the next connection's first record.
//
// The line stays open while the connection comes and goes, as a serial port
// stays open while its cable is pulled: a read while there is no connection
// waits its time-out and returns nothing, and a write goes nowhere, as on a
// serial line without its cable. The recorder's last XON or XOFF is kept
// and sent when a connection comes up. A connecting line resolves its host
// off the reading thread (a read waits for the name server as it waits for
// bytes, woken like any read), tries each address in turn, and tries again
// 1 s after a failure or a drop, then at twice the pause each time up to
// 30 s. A listening line takes one connection at a time from the allowed
// addresses, refuses any other while one is up, unless the one up has sent
// nothing for kIdleTakeoverMs: then the new one takes the line (an exchange
// that restarted while its old connection lingers). Each outage, each
// episode of refusals and each return is one notice (a debug line of the
// log).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "line/line.h"
#include "line/socket.h"

namespace vr {

struct TcpPortName {
  bool listen = false;
  std::string host;  // connect: the exchange; listen: the local address, empty for every one
  std::string port;
};

// Whether Com names a TCP line at all ("tcp:" or "tcp-listen:").
bool IsTcpPortName(std::string_view name);
// The parts of a TCP port name; nothing when it is malformed (no port, a
// port outside 1..65535, no host to connect to).
std::optional<TcpPortName> ParseTcpPortName(std::string_view name);

inline constexpr std::uint32_t kFirstReconnectPauseMs = 1000;
inline constexpr std::uint32_t kLastReconnectPauseMs = 30000;
// A listening line's connection that has sent nothing this long gives way
// to a new one from an allowed address.
inline constexpr std::uint32_t kIdleTakeoverMs = 60000;
// After a failed accept (out of descriptors) the listener rests this long.
inline constexpr std::uint32_t kAcceptPauseMs = 1000;
// How long opening a listening line waits for the name server to answer
// for its address.
inline constexpr std::uint32_t kListenResolveMs = 1000;

// Turns a host name into numeric addresses; may block (the system's is
// net::Resolve).
using TcpResolver = std::function<net::Resolution(const std::string& host, const std::string& port)>;

struct TcpLineOptions {
  TcpResolver resolve = net::Resolve;
  // The addresses a listening line takes connections from, canonical
  // (net::CanonicalAddress); empty: any.
  std::vector<std::string> allowedPeers;
  std::uint32_t idleTakeoverMs = kIdleTakeoverMs;
  // Takes a waiting connection (tests put a failing one here).
  std::function<net::Incoming(net::SocketHandle listener)> accept = net::AcceptIncoming;
};

// The addresses of a list as IndirizziAmmessi gives them (separated by
// commas or blanks), each canonical; *bad gets the entries that are no
// numeric address (they allow nothing).
std::vector<std::string> ParseAllowedPeers(std::string_view list, std::vector<std::string>* bad);
// A listening line without an address, or on the address of every
// interface ("0.0.0.0", "::").
bool ListensOnEveryAddress(const TcpPortName& name);

// Opens a TCP line: a listening one binds its port now (a port in use fails
// the open), a connecting one connects at its first read. Nothing on
// failure, with the system error in *error. clock times the reconnections.
std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error,
                                  const Clock& clock, TcpLineOptions options);
std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error,
                                  const Clock& clock);
std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error);

}  // namespace vr
