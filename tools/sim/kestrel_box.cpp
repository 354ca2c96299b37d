#include "sim/kestrel_box.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

namespace vr::sim {

const char* KestrelModelName(KestrelModel model) {
  switch (model) {
    case KestrelModel::kKsta:
      return "KSTA";
    case KestrelModel::kKstb:
      return "KSTB";
    case KestrelModel::kKstc:
      return "KSTC";
    case KestrelModel::kKstd:
      break;
  }
  return "KSTD";
}

bool ParseKestrelModel(std::string_view name, KestrelModel& model) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (KestrelModel m : {KestrelModel::kKsta, KestrelModel::kKstb, KestrelModel::kKstc,
                         KestrelModel::kKstd}) {
    if (upper == KestrelModelName(m)) {
      model = m;
      return true;
    }
  }
  return false;
}

std::uint8_t AdditiveChecksum(std::string_view bytes) {
  unsigned sum = 0;
  for (char c : bytes) sum += static_cast<std::uint8_t>(c);
  return static_cast<std::uint8_t>(sum & 0xFF);
}

KestrelBox::KestrelBox(KestrelConfig config)
    : TransmittingDevice(config.baud), config_(std::move(config)) {
  config_.blockMaxBytes = std::clamp<std::size_t>(config_.blockMaxBytes, 1, kKstdMaxBlockBytes);
  if (config_.records.empty()) {
    for (const std::string& text : MakeCallRecords(config_.generatedRecords, config_.seed)) {
      StoreRecord(text);
    }
  } else {
    for (const std::string& text : config_.records) StoreRecord(text);
  }
}

void KestrelBox::StoreRecord(const std::string& text) {
  const std::string line = text + std::string(LineEndBytes(config_.lineEnd));
  store_ += line;
  recordSizes_.push_back(line.size());
}

void KestrelBox::AddRecords(const std::vector<std::string>& texts, TimeUs nowUs) {
  for (const std::string& text : texts) StoreRecord(text);
  // A terminated box that has run dry while streaming goes on at once.
  if (phase_ == Phase::kStreaming && tx_.Empty()) StreamNextRecord(nowUs);
}

void KestrelBox::InjectFault(BoxFault fault, int times) {
  faultTimes_[static_cast<std::size_t>(fault)] = times;
}

void KestrelBox::DropEcho(std::uint8_t command, int times) { dropEcho_[command] = times; }

bool KestrelBox::TakeFault(BoxFault fault) {
  int& times = faultTimes_[static_cast<std::size_t>(fault)];
  if (times == 0) return false;
  if (times > 0) --times;
  return true;
}

void KestrelBox::Queue(std::string_view bytes, TimeUs nowUs) {
  tx_.Queue(bytes, nowUs + config_.replyDelayUs);
}

void KestrelBox::Queue(std::uint8_t byte, TimeUs nowUs) {
  tx_.Queue(byte, nowUs + config_.replyDelayUs);
}

void KestrelBox::Answer(std::uint8_t echo, TimeUs nowUs) {
  if (TakeFault(BoxFault::kStrayBytes)) Queue(config_.strayBytes, nowUs);
  int& drop = dropEcho_[echo];
  if (drop != 0) {
    if (drop > 0) --drop;
    return;
  }
  Queue(echo, nowUs);
}

void KestrelBox::OnSent(std::uint8_t byte, TimeUs /*atUs*/) { sent_ += static_cast<char>(byte); }

void KestrelBox::OnTxIdle(TimeUs atUs) {
  if (phase_ == Phase::kStreaming) StreamNextRecord(atUs);
}

void KestrelBox::SetLinkUp(bool up, TimeUs nowUs) {
  tx_.SetHeld(Transmitter::kHoldLink, !up, nowUs);
}

std::string KestrelBox::StatusText() const {
  char text[64];
  if (Counted()) {
    const long number = statusNumber_.value_or(static_cast<long>(store_.size()));
    // Characters 8 to 14 hold the number; the text is 39 bytes in all.
    std::snprintf(text, sizeof text, "KSTD V3%07ld R%05d", number % 10000000,
                  StoredRecords() % 100000);
    std::string status(text);
    status.resize(kKstdStatusBytes - 2, ' ');
    return status + "\r\n";
  }
  const long number = statusNumber_.value_or(std::min(StoredRecords(), 99));
  // Characters 10 and 11 hold the number.
  std::snprintf(text, sizeof text, "%s REC %02ld BYTES %06zu\r\n",
                KestrelModelName(config_.model), number % 100, store_.size() % 1000000);
  return text;
}

void KestrelBox::Acknowledge(std::size_t bytes) {
  delivered_.append(store_, 0, bytes);
  store_.erase(0, bytes);
  while (bytes > 0 && !recordSizes_.empty()) {
    const std::size_t take = std::min(bytes, recordSizes_.front());
    recordSizes_.front() -= take;
    bytes -= take;
    if (recordSizes_.front() == 0) recordSizes_.erase(recordSizes_.begin());
  }
  ++blocksAcknowledged_;
}

void KestrelBox::SendCountedBlock(TimeUs nowUs) {
  const std::size_t n = std::min(config_.blockMaxBytes, store_.size());
  const std::string text = store_.substr(0, n);
  Queue(static_cast<std::uint8_t>(n >> 8), nowUs);
  Queue(static_cast<std::uint8_t>(n & 0xFF), nowUs);
  ++blocksSent_;
  if (n > 0 && TakeFault(BoxFault::kShortBlock)) {
    Queue(std::string_view(text).substr(0, n / 2), nowUs);
    outstandingBytes_ = 0;
    return;
  }
  Queue(text, nowUs);
  std::uint8_t checksum = AdditiveChecksum(text);
  if (n > 0 && TakeFault(BoxFault::kBadChecksum)) ++checksum;
  Queue(checksum, nowUs);
  outstandingBytes_ = n;
}

void KestrelBox::StreamNextRecord(TimeUs nowUs) {
  // The rest of the record at the stream position, so that a hold finds
  // whole records in the transmitter.
  std::size_t end = 0;
  for (std::size_t size : recordSizes_) {
    end += size;
    if (end > streamedBytes_) break;
  }
  if (end <= streamedBytes_) return;  // everything stored is on its way
  Queue(std::string_view(store_).substr(streamedBytes_, end - streamedBytes_), nowUs);
  streamedBytes_ = end;
}

void KestrelBox::CloseBlock(TimeUs nowUs) {
  // The hold ends the block after the record in the transmitter.
  const std::size_t n = streamedBytes_;
  streamedBytes_ = 0;
  if (n == 0) {
    phase_ = Phase::kIdle;
    Answer(kBoxHold, nowUs);
    return;
  }
  phase_ = Phase::kBlockClosed;
  outstandingBytes_ = n;
  ++blocksSent_;
  if (TakeFault(BoxFault::kShortBlock)) return;
  Answer(kBoxHold, nowUs);
  std::uint8_t checksum = AdditiveChecksum(std::string_view(store_).substr(0, n));
  if (TakeFault(BoxFault::kBadChecksum)) ++checksum;
  Queue(checksum, nowUs);
}

void KestrelBox::Receive(std::uint8_t byte, TimeUs nowUs) {
  received_ += static_cast<char>(byte);
  if (byte != kBoxResume && byte != kBoxHold && byte != kBoxAck && byte != kBoxStatus) return;
  if (TakeFault(BoxFault::kNoAnswer)) return;

  if (Counted()) {
    switch (byte) {
      case kBoxResume:
        if (tx_.Busy(nowUs)) return;
        Answer(kBoxResume, nowUs);
        SendCountedBlock(nowUs);
        return;
      case kBoxAck:
        Answer(kBoxAck, nowUs);
        if (outstandingBytes_ > 0) Acknowledge(outstandingBytes_);
        outstandingBytes_ = 0;
        return;
      case kBoxStatus:
        Answer(kBoxStatus, nowUs);
        Queue(StatusText(), nowUs);
        return;
      default:
        Answer(kBoxHold, nowUs);
        return;
    }
  }

  switch (byte) {
    case kBoxResume:
      Answer(kBoxResume, nowUs);
      if (phase_ != Phase::kStreaming) {
        // A block left unacknowledged is sent again from its start.
        phase_ = Phase::kStreaming;
        streamedBytes_ = 0;
        outstandingBytes_ = 0;
        StreamNextRecord(nowUs);
      }
      return;
    case kBoxHold:
      if (phase_ == Phase::kStreaming) {
        CloseBlock(nowUs);
      } else if (phase_ == Phase::kStatusSent) {
        phase_ = Phase::kIdle;
        Answer(kBoxHold, nowUs);
        std::uint8_t checksum = statusChecksum_;
        if (TakeFault(BoxFault::kBadChecksum)) ++checksum;
        Queue(checksum, nowUs);
      } else {
        Answer(kBoxHold, nowUs);
      }
      return;
    case kBoxAck:
      Answer(kBoxAck, nowUs);
      if (phase_ == Phase::kBlockClosed && outstandingBytes_ > 0) {
        Acknowledge(outstandingBytes_);
        outstandingBytes_ = 0;
        phase_ = Phase::kIdle;
      }
      return;
    default: {
      // A status request abandons a block in progress; it is sent again.
      streamedBytes_ = 0;
      outstandingBytes_ = 0;
      phase_ = Phase::kStatusSent;
      Answer(kBoxStatus, nowUs);
      const std::string status = StatusText();
      statusChecksum_ = AdditiveChecksum(status);
      Queue(status, nowUs);
      return;
    }
  }
}

}  // namespace vr::sim
