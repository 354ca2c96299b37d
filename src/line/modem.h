#pragma once
// The Hayes modem dialogue: dial the site's number until the modem reports a
// carrier, and hang up at the end of a connection. The modem's replies are
// only checked for being there; their text is never looked at.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "base/clock.h"
#include "line/line.h"

namespace vr {

// Every read and write of the dialogue waits at most this long.
inline constexpr std::uint32_t kModemTimeoutMs = 1000;
// The silence the modem needs before the escape sequence.
inline constexpr std::uint32_t kEscapeGuardMs = 1000;

struct ModemLink {
  Line& line;
  // The line's shared time-out record: set to 1000 ms for the dialogue, and
  // filled with afterTimeouts when the dialogue ends (the port itself gets
  // back the time-outs it had before).
  LineTimeouts& timeouts;
  LineTimeouts afterTimeouts;  // SetLineTimeouts(modem flag) of the site
  const Clock& clock;
  const std::atomic<bool>& stop;
  // Slave mode (/Slave): one read for the answer to the reset, and the
  // worker's messages handled after every attempt.
  bool slave = false;
  std::function<void()> pumpMessages;
};

// Dials until the carrier is on. Every failed attempt decreases budget by 1
// and hangs up; another attempt follows while the budget is above 0 and the
// stop flag is clear. At least one attempt is made. True when connected.
bool DialModem(ModemLink& link, std::string_view modemString, std::string_view phoneNumber,
               std::int32_t& budget);

// Escapes to command mode and hangs up while the carrier is on, at most 11
// passes. A modem without carrier is sent nothing.
void HangUpModem(ModemLink& link);

}  // namespace vr
