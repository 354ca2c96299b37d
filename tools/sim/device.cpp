#include "sim/device.h"

#include <algorithm>

namespace vr::sim {

TimeUs CharTimeUs(std::uint32_t baud, int bitsPerChar) {
  if (baud == 0) baud = 1;
  // Rounded up so that a burst never runs faster than the line.
  const TimeUs bitsUs = static_cast<TimeUs>(bitsPerChar) * kUsPerSecond;
  return (bitsUs + baud - 1) / static_cast<TimeUs>(baud);
}

void Transmitter::Queue(std::uint8_t byte, TimeUs notBeforeUs) {
  queue_.push_back({byte, notBeforeUs});
}

void Transmitter::Queue(std::string_view bytes, TimeUs notBeforeUs) {
  for (char c : bytes) Queue(static_cast<std::uint8_t>(c), notBeforeUs);
}

TimeUs Transmitter::NextStartUs() const {
  if (queue_.empty()) return kNeverUs;
  const TimeUs startUs = std::max({queue_.front().notBeforeUs, lineFreeUs_, resumedAtUs_});
  // Held: only a character that had started before the hold may go.
  if (holdReasons_ != 0 && startUs >= heldAtUs_) return kNeverUs;
  return startUs;
}

TimeUs Transmitter::NextDoneUs() const {
  const TimeUs startUs = NextStartUs();
  return startUs == kNeverUs ? kNeverUs : startUs + charUs_;
}

std::uint8_t Transmitter::Pop() {
  lineFreeUs_ = NextStartUs() + charUs_;
  const std::uint8_t byte = queue_.front().byte;
  queue_.pop_front();
  return byte;
}

void Transmitter::SetHeld(HoldReason reason, bool held, TimeUs nowUs) {
  const bool wasHeld = holdReasons_ != 0;
  if (held) {
    holdReasons_ |= reason;
  } else {
    holdReasons_ &= ~static_cast<unsigned>(reason);
  }
  const bool isHeld = holdReasons_ != 0;
  if (isHeld && !wasHeld) heldAtUs_ = nowUs;
  if (!isHeld && wasHeld) {
    heldAtUs_ = kNeverUs;
    resumedAtUs_ = std::max(resumedAtUs_, nowUs);
  }
}

TimeUs TransmittingDevice::NextEventUs() const {
  return std::min(tx_.NextDoneUs(), NextTimerUs());
}

void TransmittingDevice::RunUntil(TimeUs nowUs, ByteSink& out) {
  for (;;) {
    const TimeUs txUs = tx_.NextDoneUs();
    const TimeUs timerUs = NextTimerUs();
    if (std::min(txUs, timerUs) > nowUs) break;
    if (txUs <= timerUs) {
      if (out.Full()) break;
      const std::uint8_t byte = tx_.Pop();
      out.Put(byte, txUs);
      OnSent(byte, txUs);
      if (tx_.Empty()) OnTxIdle(txUs);
    } else {
      OnTimer(timerUs);
    }
  }
}

}  // namespace vr::sim
