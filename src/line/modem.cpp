#include "line/modem.h"

#include <array>
#include <span>

namespace vr {
namespace {

constexpr std::uint8_t kReset[] = {'a', 't', '&', 'f', '\n', '\r'};
// Line feed before carriage return, as the modems in the field were set up.
constexpr std::uint8_t kLineEnd[] = {'\n', '\r'};
constexpr std::uint8_t kEscape[] = {'+', '+', '+'};
constexpr std::uint8_t kHangUp[] = {'a', 't', 'h', '\n', '\r'};

constexpr int kResetReads = 5;
constexpr int kResetReadsSlave = 1;
constexpr int kCommandReads = 5;
constexpr int kConnectReads = 120;  // about two minutes for the call to be set up
constexpr int kHangUpPasses = 11;

void Send(Line& line, std::span<const std::uint8_t> bytes) { line.Write(bytes); }

void Send(Line& line, std::string_view text) {
  Send(line, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Reads up to maxBytes again and again until something arrives, at most
// maxReads times. What came is dropped.
bool AwaitReply(Line& line, std::size_t maxBytes, int maxReads) {
  std::array<std::uint8_t, 64> buffer{};
  for (int i = 0; i < maxReads; ++i)
    if (line.Read(std::span(buffer).first(maxBytes)).bytes > 0) return true;
  return false;
}

// Sets the dialogue's time-outs; returns the port's own, to put back.
LineTimeouts BeginDialogue(ModemLink& link) {
  LineTimeouts saved;
  link.line.GetTimeouts(saved);
  link.timeouts.readTotalMs = kModemTimeoutMs;
  link.timeouts.writeTotalMs = kModemTimeoutMs;
  link.line.SetTimeouts(link.timeouts);
  return saved;
}

void EndDialogue(ModemLink& link, const LineTimeouts& saved) {
  link.timeouts = link.afterTimeouts;
  link.line.SetTimeouts(saved);
}

bool DialOnce(ModemLink& link, std::string_view modemString, std::string_view phoneNumber) {
  Line& line = link.line;
  Send(line, kReset);
  if (!AwaitReply(line, 50, link.slave ? kResetReadsSlave : kResetReads)) return false;
  Send(line, modemString);
  Send(line, kLineEnd);
  if (!AwaitReply(line, 50, kCommandReads)) return false;
  Send(line, phoneNumber);
  Send(line, kLineEnd);
  if (!AwaitReply(line, 60, 1)) return false;
  AwaitReply(line, 40, kConnectReads);
  return line.Carrier();
}

}  // namespace

bool DialModem(ModemLink& link, std::string_view modemString, std::string_view phoneNumber,
               std::int32_t& budget) {
  const LineTimeouts saved = BeginDialogue(link);
  bool connected = false;
  do {
    connected = DialOnce(link, modemString, phoneNumber);
    if (!connected) {
      --budget;
      HangUpModem(link);
    }
    if (link.slave && link.pumpMessages) link.pumpMessages();
  } while (!connected && budget > 0 && !link.stop.load());
  EndDialogue(link, saved);
  return connected;
}

void HangUpModem(ModemLink& link) {
  const LineTimeouts saved = BeginDialogue(link);
  Line& line = link.line;
  if (line.Carrier()) {
    for (int pass = 0; pass < kHangUpPasses; ++pass) {
      link.clock.SleepMs(kEscapeGuardMs);
      Send(line, kEscape);
      if (AwaitReply(line, 50, kCommandReads)) {
        Send(line, kHangUp);
        AwaitReply(line, 50, kCommandReads);
      }
      if (!line.Carrier()) break;
    }
  }
  EndDialogue(link, saved);
}

}  // namespace vr
