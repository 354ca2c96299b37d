#pragma once
// Holding and releasing the exchange (or call buffer box) around each chunk,
// the status query, a box restart and the end of a connection. What goes on
// the line depends on the device and the handshake: the XOFF/XON characters,
// the DTR and RTS lines, or the box's hold and resume commands. The tray
// icon shows the held or receiving state.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/clock.h"
#include "base/notifier.h"
#include "config/settings.h"
#include "devices/kestrel.h"
#include "line/line.h"

namespace vr {

// Process-wide; only HoldExchange and ReleaseExchange change it, except the
// lines-lowered mark, which the site worker sets when a connection starts.
struct FlowState {
  bool held = true;              // held at program start
  bool linesLowered = true;      // DTR and RTS must be raised at the next release
  bool boxAcknowledged = false;  // the box echoed the last resume command
  // The device held a write past its time-out, and no write has gone out
  // whole since: the hold is logged once, not at every chunk.
  bool outputHeld = false;
};

// Between resume commands that were not echoed.
inline constexpr std::uint32_t kResumeRetryMs = 1000;
inline constexpr int kResumeSends = 3;

// What the two operations work with during one connection.
struct ExchangeLink {
  Line& line;
  const SiteSettings& site;          // Dispositivo, StartStop
  const LineSettings& lineSettings;  // Handshake, Xon, Xoff
  FlowState& state;
  const std::atomic<bool>& stop;  // StopFlag
  IconDisplay& icons;
  const Clock& clock;
  Notifier* notifier = nullptr;  // for the debug log; none: not logged
};

// Holds the exchange. Nothing at all when it is held already, unless force.
// waitEcho makes a box's hold command wait for its echo. A KSTD box and a
// TCPIP line are held only by forced holds.
void HoldExchange(ExchangeLink& link, bool waitEcho, bool force);

// Releases the exchange; nothing at all when it is released already. twice
// sends XON two times; statusForm makes a box's resume command ask for the
// status reply.
//
// The XOFF and XON of an exchange go out as the line's flow characters
// (Line::SendFlowChar), ahead of output the exchange's own XOFF holds.
void ReleaseExchange(ExchangeLink& link, bool statusForm, bool twice);

struct StatusQueryResult {
  StatusReading reading;
  std::size_t replyBytes = 0;  // bytes of the reply left in the buffer, a NUL after them
};

// Asks a box for its status (KSTD: hold first; the status form of the resume
// command; the reply read into buffer, up to 39 bytes for KSTD, else up to
// readChunkBytes, and always leaving room for the NUL after it; hold; for
// KSTA/KSTB/KSTC the checksum byte) and reads it.
StatusQueryResult QueryBoxStatus(ExchangeLink& link, std::span<std::uint8_t> buffer,
                                 std::uint32_t readChunkBytes);

}  // namespace vr
