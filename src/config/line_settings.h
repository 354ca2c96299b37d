#pragma once
// A site's serial line and modem settings, read at every attempt to open the
// line so that an edit takes effect at the next connection.

#include <string_view>

#include "config/profile.h"
#include "config/reporter.h"
#include "config/settings.h"

namespace vr {

struct LineSettingsResult {
  int result = 0;          // 0, or 7006 when a key was missing or wrong
  bool baudRead = false;   // a usable Baud was read: the line's buffers can be sized
};

// Reads the keys in their fixed order into line. Every missing or wrong key is
// reported at once with its id and the site code and makes the result 7006;
// reading goes on with the next key, except after a missing NumeroTel. A key
// that is missing leaves its field as it was; "no control pins" and "hardware
// handshake active" start false at every read.
LineSettingsResult ReadLineSettings(const Profile& profile, std::string_view siteCode,
                                    LineSettings& line, Reporter& reporter);

// The checks made when the port is set: a parity letter other than E, N, O
// (5021) and a stop value other than 1 or 2 (5022). Returns 7006 after
// reporting, else 0.
int CheckPortSettings(const LineSettings& line, std::string_view siteCode, Reporter& reporter);

// The longest modem string and telephone number the dialler takes.
inline constexpr std::size_t kMaxModemText = 99;

}  // namespace vr
