#pragma once
// An exchange that serves its call records over the network instead of a
// serial line: Com=tcp:HOST:PORT connects to it, Com=tcp-listen:[ADDRESS:]PORT
// takes its connection. Either is a Line like a serial port, so every kind of
// site reads it as it reads a port: the read and write time-outs keep their
// meaning, XON and XOFF go out as bytes, and the modem lines do not exist
// (Carrier tells whether a connection is up; DTR and RTS do nothing).
//
// The line stays open while the connection comes and goes, as a serial port
// stays open while its cable is pulled: a read while there is no connection
// waits its time-out and returns nothing. A connecting line tries again 1 s
// after a failure or a drop, then at twice the pause each time up to 30 s; a
// listening line takes the next connection, one at a time, and refuses any
// other while one is up. Each outage, each refusal and each return is one
// notice (a debug line of the log).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "line/line.h"

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

// Opens a TCP line: a listening one binds its port now (a port in use fails
// the open), a connecting one connects at its first read. Nothing on
// failure, with the system error in *error. clock times the reconnections.
std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error,
                                  const Clock& clock);
std::unique_ptr<Line> OpenTcpLine(const std::string& name, std::uint32_t* error);

}  // namespace vr
