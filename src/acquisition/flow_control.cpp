#include "acquisition/flow_control.h"

#include <algorithm>
#include <optional>
#include <span>

namespace vr {
namespace {

bool IsTerminatedBox(DeviceType device) {
  return device == DeviceType::kKsta || device == DeviceType::kKstb || device == DeviceType::kKstc;
}

bool IsBox(DeviceType device) { return IsTerminatedBox(device) || device == DeviceType::kKstd; }

// A write cut short by its time-out means the device holds the recorder's
// output: logged when that starts, and again only after a write has gone out
// whole. A failed call says nothing about a hold.
void NoteWrite(ExchangeLink& link, const IoResult& r, std::size_t asked) {
  if (!r.ok) return;
  FlowState& state = link.state;
  if (r.bytes == asked) {
    state.outputHeld = false;
    return;
  }
  if (state.outputHeld) return;
  state.outputHeld = true;
  if (link.notifier != nullptr)
    link.notifier->Post(Message::kDebug, 0,
                        "Uscita verso la centrale trattenuta oltre il tempo di scrittura");
}

void SendFlowChars(ExchangeLink& link, std::uint8_t byte, int times) {
  for (int i = 0; i < times; ++i) NoteWrite(link, link.line.SendFlowChar(byte), 1);
}

}  // namespace

void HoldExchange(ExchangeLink& link, bool waitEcho, bool force) {
  FlowState& state = link.state;
  if (state.held && !force) return;
  state.held = true;
  const DeviceType device = link.site.deviceType;
  if (device == DeviceType::kCom) {
    switch (link.lineSettings.handshake) {
      case Handshake::kXon:
        SendFlowChars(link, link.lineSettings.xoffChar, 1);
        break;
      case Handshake::kHdw: {
        // Without StartStop the lines move only when the connection ends.
        const bool stopping = link.stop.load();
        if (link.site.startStop || stopping) {
          link.line.SetDtr(false);
          link.line.SetRts(false);
        }
        if (stopping) state.linesLowered = true;
        break;
      }
      case Handshake::kNone:
      case Handshake::kUnset:
        break;
    }
  } else if (IsTerminatedBox(device) || force) {
    SendHoldCommand(link.line, waitEcho);
  }
  link.icons.ShowIcon(TrayIcon::kHeld);
}

void ReleaseExchange(ExchangeLink& link, bool statusForm, bool twice) {
  FlowState& state = link.state;
  if (!state.held) return;
  state.held = false;
  const DeviceType device = link.site.deviceType;
  if (device == DeviceType::kCom) {
    switch (link.lineSettings.handshake) {
      case Handshake::kXon:
        SendFlowChars(link, link.lineSettings.xonChar, twice ? 2 : 1);
        break;
      case Handshake::kHdw:
        if (link.site.startStop || state.linesLowered) {
          link.line.SetDtr(true);
          link.line.SetRts(true);
          state.linesLowered = false;
        }
        break;
      case Handshake::kNone:
      case Handshake::kUnset:
        break;
    }
  } else if (IsBox(device)) {
    state.boxAcknowledged = true;
    for (int send = 1;; ++send) {
      if (SendResumeCommand(link.line, statusForm)) break;
      // A connection that is ending does not wait for a silent box.
      if (send == kResumeSends || link.stop.load()) {
        state.boxAcknowledged = false;
        break;
      }
      link.clock.SleepMs(kResumeRetryMs);
    }
  }
  link.icons.ShowIcon(TrayIcon::kReceiving);
}

StatusQueryResult QueryBoxStatus(ExchangeLink& link, std::span<std::uint8_t> buffer,
                                 std::uint32_t readChunkBytes) {
  const bool kstd = link.site.deviceType == DeviceType::kKstd;
  if (kstd) HoldExchange(link, true, true);
  ReleaseExchange(link, true, false);
  StatusQueryResult result;
  if (!buffer.empty()) {
    const std::size_t wanted = kstd ? box::kKstdStatusBytes : readChunkBytes;
    const std::size_t room = std::min(wanted, buffer.size() - 1);  // a NUL goes after the reply
    result.replyBytes = link.line.Read(buffer.first(room)).bytes;
    buffer[result.replyBytes] = 0;
  }
  HoldExchange(link, true, true);
  const auto reply = std::span<const std::uint8_t>(buffer.first(result.replyBytes));
  if (kstd) {
    result.reading = ReadKstdStatus(reply);
  } else {
    // The box sends the checksum of its reply after the hold's echo.
    std::uint8_t checksum = 0;
    const bool came = link.line.Read(std::span(&checksum, 1)).bytes == 1;
    result.reading = ReadBoxStatus(reply, came ? std::optional(checksum) : std::nullopt);
  }
  return result;
}

}  // namespace vr
