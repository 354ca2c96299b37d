#include "sim/exchange.h"

#include <utility>

namespace vr::sim {

Exchange::Exchange(ExchangeConfig config)
    : TransmittingDevice(config.baud),
      config_(std::move(config)),
      generator_(config_.seed),
      nextRecordUs_(config_.firstRecordUs) {
  QueueNextRecord();
}

int Exchange::TotalRecords() const {
  return config_.records.empty() ? config_.generatedRecords
                                 : static_cast<int>(config_.records.size());
}

bool Exchange::Done() const {
  const int total = TotalRecords();
  return total > 0 && recordsSent_ >= total;
}

void Exchange::QueueNextRecord() {
  const int total = TotalRecords();
  const bool endless = config_.records.empty() && total == 0;
  if (!endless && recordsQueued_ >= total) return;
  std::string text = config_.records.empty()
                         ? generator_.Next()
                         : config_.records[static_cast<std::size_t>(recordsQueued_)];
  const std::string_view lineEnd = LineEndBytes(config_.lineEnd);
  text += lineEnd;
  bytesLeftInRecord_ = text.size();
  if (config_.lineEndPauseUs > 0 && lineEnd.size() == 2) {
    lineEndRest_ = text.substr(text.size() - 1);
    text.pop_back();
  }
  // A record of a burst is due at once; the others keep the rate.
  tx_.Queue(text, burstLeft_ > 0 ? 0 : nextRecordUs_);
  nextRecordUs_ += config_.intervalUs;
  ++recordsQueued_;
}

void Exchange::OnSent(std::uint8_t byte, TimeUs atUs) {
  sent_ += static_cast<char>(byte);
  if (bytesLeftInRecord_ > 0 && --bytesLeftInRecord_ == 0) {
    ++recordsSent_;
    if (burstLeft_ > 0 && --burstLeft_ == 0) {
      if (pacedBeforeBurst_) tx_.SetBaud(config_.baud);
      // The rate goes on from here, not from where the burst began.
      nextRecordUs_ = atUs;
    }
  }
}

void Exchange::Burst(int records) {
  if (records <= 0) return;
  if (burstLeft_ == 0) pacedBeforeBurst_ = Paced();
  burstLeft_ = records;
  tx_.Unpace();
}

void Exchange::OnTxIdle(TimeUs atUs) {
  if (!lineEndRest_.empty()) {
    tx_.Queue(std::exchange(lineEndRest_, std::string()), atUs + config_.lineEndPauseUs);
    return;
  }
  QueueNextRecord();
}

void Exchange::Receive(std::uint8_t byte, TimeUs nowUs) {
  received_ += static_cast<char>(byte);
  if (config_.flow != ExchangeFlow::kXonXoff) return;
  if (byte == config_.xoffChar) tx_.SetHeld(Transmitter::kHoldXoff, true, nowUs);
  if (byte == config_.xonChar) tx_.SetHeld(Transmitter::kHoldXoff, false, nowUs);
}

void Exchange::SetPcLines(bool dtr, bool rts, TimeUs nowUs) {
  if (config_.flow != ExchangeFlow::kDtrRts) return;
  tx_.SetHeld(Transmitter::kHoldLines, !(dtr && rts), nowUs);
}

void Exchange::SetLinkUp(bool up, TimeUs nowUs) {
  tx_.SetHeld(Transmitter::kHoldLink, !up, nowUs);
}

}  // namespace vr::sim
