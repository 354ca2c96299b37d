#pragma once
// Opening a site's line: the port opened by name, the line settings read from
// the site's section, the read chunk and the buffers sized, the port set by
// device type and handshake, the modem dialled; retried while the attempt
// budget lasts. Closing puts the port back as it was found, with DTR and RTS
// dropped.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/notifier.h"
#include "config/profile.h"
#include "config/settings.h"
#include "line/line.h"

namespace vr {

// The read chunk before the first line is opened.
inline constexpr std::uint32_t kInitialReadChunkBytes = 1024;
// A KSTD box sends blocks of up to 4097 bytes; one read takes the largest.
inline constexpr std::uint32_t kKstdReadChunkBytes = 8192;
// The driver input queue a KSTD line asks for.
inline constexpr std::uint32_t kKstdInputQueueBytes = 4800;
inline constexpr std::uint8_t kPortErrorChar = 0x47;
inline constexpr std::uint8_t kPortEofChar = 0xFF;

// The line's state between opening and closing, one per process.
struct LineState {
  std::unique_ptr<Line> line;    // none while closed
  PortSettings openingSettings;  // as the port was found: put back at closing
  PortSettings activeSettings;   // as the port was set
  LineTimeouts timeouts;         // the shared time-out record
  std::uint32_t readChunkBytes = kInitialReadChunkBytes;
};

// Opens a port by name; nothing on failure, with the system error in *error.
using LineOpener =
    std::function<std::unique_ptr<Line>(const std::string& name, std::uint32_t* error)>;

// The key of [General] listing the addresses (IPv4 or IPv6, separated by
// commas or blanks) from which a listening TCP line takes its connection;
// absent: from any.
inline constexpr const char* kAllowedPeersKey = "IndirizziAmmessi";

// Opens a port as OpenSystemLine does; a TCP line takes the allowed
// addresses as the configuration file lists them at this opening.
LineOpener SystemLineOpener(const Profile& profile);

// What OpenLine works with besides the site.
struct LineEnvironment {
  const Profile& profile;         // VESPREC.INI: the site's section is read at every attempt
  std::string portName;           // Com
  Notifier& notifier;             // reports go to the main window
  const std::atomic<bool>& stop;  // StopFlag
  const Clock& clock;
  LineOpener open = OpenSystemLine;
  // Sizes the receive and display buffers to the read chunk (they belong to
  // the reception); false when there is no memory.
  std::function<bool(std::uint32_t readChunkBytes)> resizeBuffers;
  bool slave = false;                  // /Slave: see ModemLink
  std::function<void()> pumpMessages;  // slave mode, between dial attempts
};

// The time-out record of a site: the modem time-outs when the modem flag is
// exactly 1, the serial ones otherwise, with the site's interval time-out on
// a direct text line (ReadIntervalOf).
LineTimeouts SetLineTimeouts(std::int32_t modemFlag, const SiteSettings& site);

// The read chunk of a site at the given speed. For a KSTD box it is fixed and
// the read time-out in use (MTimeRead with a modem, else STimeRead) is raised
// to what 6000 bytes take at that speed plus 2 s.
std::uint32_t SizeReadChunk(std::int32_t baud, std::int32_t modemFlag, SiteSettings& site);

// The flow-control fields of the port for a device type and handshake. A
// TCPIP line (and any kind that is not a serial device) keeps the port's own.
void ApplyFlowControl(DeviceType device, const LineSettings& line, PortSettings& port);

// Opens the line of site siteCode: 0 when it is open (and dialled), else the
// error id 7005, 7006, 7008, 7009, 7010 or 7011, reported to the main window.
// attempts is the budget; at least one attempt is made, and a configuration
// fault (7006) is never retried. synchronous leaves out the dialling.
int OpenLine(LineEnvironment& env, std::string_view siteCode, SiteSettings& site,
             LineSettings& lineSettings, LineState& state, std::int32_t attempts, bool synchronous);

// Puts the opening settings back with DTR and RTS control disabled and closes
// the line. Nothing when it is closed.
void CloseLine(LineState& state);

}  // namespace vr
