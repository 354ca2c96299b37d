#include "sim/simulated_line.h"

#include <algorithm>
#include <iterator>

namespace vr::sim {

// Collects what the device sends into the line's input, in time order.
class SimulatedLine::Sink final : public ByteSink {
 public:
  explicit Sink(std::deque<Arrived>& input) : input_(input) {}
  void Put(std::uint8_t byte, TimeUs atUs) override {
    // A modem and the device behind it send independently; keep time order.
    auto it = input_.end();
    while (it != input_.begin() && std::prev(it)->atUs > atUs) --it;
    input_.insert(it, Arrived{byte, atUs});
  }

 private:
  std::deque<Arrived>& input_;
};

SimulatedLine::SimulatedLine(vr::ManualClock& clock, Device& device)
    : clock_(clock), device_(device) {
  nowUs_ = static_cast<TimeUs>(clock_.TickMs()) * kUsPerMs;
  settingsAtOpen_ = settings_;
  Pump(nowUs_);
  device_.SetPcLines(dtr_, rts_, nowUs_);
}

bool SimulatedLine::Enter(LineOp op) {
  const auto index = static_cast<std::size_t>(op);
  ++calls_[index];
  Failure& failure = failures_[index];
  if (failure.times == 0) return true;
  if (failure.times > 0) --failure.times;
  lastError_ = failure.error;
  return false;
}

void SimulatedLine::FailNext(LineOp op, std::uint32_t error, int times) {
  failures_[static_cast<std::size_t>(op)] = Failure{error, times};
}

void SimulatedLine::SyncToClock() {
  nowUs_ = std::max(nowUs_, static_cast<TimeUs>(clock_.TickMs()) * kUsPerMs);
}

void SimulatedLine::Pump(TimeUs untilUs) {
  Sink sink(input_);
  device_.RunUntil(untilUs, sink);
}

void SimulatedLine::MoveClockTo(TimeUs us) {
  // The clock shows whole milliseconds; the line keeps the rest in nowUs_.
  const auto targetMs = static_cast<std::uint64_t>(us / kUsPerMs);
  if (targetMs > clock_.TickMs()) clock_.AdvanceMs(targetMs - clock_.TickMs());
}

TimeUs SimulatedLine::NowUs() {
  SyncToClock();
  Pump(nowUs_);
  return nowUs_;
}

std::size_t SimulatedLine::PendingInputBytes() {
  NowUs();
  return input_.size();
}

int SimulatedLine::BitsPerChar() const {
  return 1 + settings_.byteSize + (settings_.parity == vr::ParityMode::kNone ? 0 : 1) +
         (settings_.stopBits == vr::StopBitsMode::kTwo ? 2 : 1);
}

bool SimulatedLine::GetSettings(vr::PortSettings& settings) {
  if (!Enter(LineOp::kGetSettings)) return false;
  settings = settings_;
  return true;
}

bool SimulatedLine::SetSettings(const vr::PortSettings& settings) {
  if (!Enter(LineOp::kSetSettings)) return false;
  // What a driver refuses.
  if (settings.baud == 0 || settings.byteSize < 5 || settings.byteSize > 8) {
    lastError_ = kSimErrorInvalid;
    return false;
  }
  settings_ = settings;
  // As a driver does: the control modes decide the lines at once.
  dtr_ = settings_.dtrControl != vr::DtrControl::kDisable;
  rts_ = settings_.rtsControl != vr::RtsControl::kDisable;
  LinesChanged();
  return true;
}

bool SimulatedLine::GetTimeouts(vr::LineTimeouts& timeouts) {
  if (!Enter(LineOp::kGetTimeouts)) return false;
  timeouts = timeouts_;
  return true;
}

bool SimulatedLine::SetTimeouts(const vr::LineTimeouts& timeouts) {
  if (!Enter(LineOp::kSetTimeouts)) return false;
  timeouts_ = timeouts;
  timeoutsHistory_.push_back(timeouts);
  return true;
}

bool SimulatedLine::SetQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) {
  if (!Enter(LineOp::kSetQueues)) return false;
  inputQueueBytes_ = inputBytes;
  outputQueueBytes_ = outputBytes;
  return true;
}

std::size_t SimulatedLine::TakeArrived(std::span<std::uint8_t> buffer, std::size_t filled,
                                       TimeUs* lastUs) {
  while (filled < buffer.size() && !input_.empty() && input_.front().atUs <= nowUs_) {
    const Arrived arrived = input_.front();
    input_.pop_front();
    if (arrived.byte == 0 && settings_.discardNull) continue;
    buffer[filled++] = arrived.byte;
    if (lastUs != nullptr) *lastUs = arrived.atUs;
  }
  return filled;
}

vr::IoResult SimulatedLine::Read(std::span<std::uint8_t> buffer) {
  if (!Enter(LineOp::kRead)) return {false, 0, lastError_};
  SyncToClock();
  const TimeUs deadlineUs = timeouts_.readTotalMs == 0
                                ? kNeverUs
                                : nowUs_ + static_cast<TimeUs>(timeouts_.readTotalMs) * kUsPerMs;
  // With an interval time-out the read ends that long after the last byte
  // it took, as a driver's does, unless its total time-out comes first;
  // bytes that waited for the read count from its start.
  const TimeUs startUs = nowUs_;
  TimeUs lastUs = startUs;
  auto endUs = [&](std::size_t filled) {
    if (timeouts_.readIntervalMs == 0 || filled == 0) return deadlineUs;
    return std::min(deadlineUs, std::max(lastUs, startUs) +
                                    static_cast<TimeUs>(timeouts_.readIntervalMs) * kUsPerMs);
  };
  Pump(nowUs_);
  std::size_t filled = TakeArrived(buffer, 0, &lastUs);
  while (filled < buffer.size()) {
    const TimeUs eventUs = device_.NextEventUs();
    if (eventUs == kNeverUs || eventUs > endUs(filled)) break;
    nowUs_ = std::max(nowUs_, eventUs);
    Pump(nowUs_);
    filled = TakeArrived(buffer, filled, &lastUs);
  }
  if (filled < buffer.size()) {
    const TimeUs untilUs = endUs(filled);
    if (untilUs == kNeverUs) {
      ++stalledReads_;
    } else {
      nowUs_ = std::max(nowUs_, untilUs);
      Pump(nowUs_);
      filled = TakeArrived(buffer, filled, &lastUs);
    }
  }
  MoveClockTo(nowUs_);
  return {true, filled, 0};
}

vr::IoResult SimulatedLine::Write(std::span<const std::uint8_t> bytes) {
  if (!Enter(LineOp::kWrite)) return {false, 0, lastError_};
  SyncToClock();
  const TimeUs startUs = nowUs_;
  const TimeUs charUs = CharTimeUs(settings_.baud, BitsPerChar());
  std::size_t count = bytes.size();
  bool timedOut = false;
  if (timeouts_.writeTotalMs != 0) {
    const auto fitting = static_cast<std::size_t>(
        static_cast<TimeUs>(timeouts_.writeTotalMs) * kUsPerMs / charUs);
    if (fitting < count) {
      count = fitting;
      timedOut = true;
    }
  }
  if (writeLimit_) {
    count = std::min(count, *writeLimit_);
    writeLimit_.reset();
  }
  for (std::size_t i = 0; i < count; ++i) {
    nowUs_ += charUs;
    Pump(nowUs_);
    device_.Receive(bytes[i], nowUs_);
    written_.push_back({bytes[i], nowUs_});
  }
  if (timedOut) {
    nowUs_ = startUs + static_cast<TimeUs>(timeouts_.writeTotalMs) * kUsPerMs;
    Pump(nowUs_);
  }
  MoveClockTo(nowUs_);
  return {true, count, 0};
}

std::string SimulatedLine::WrittenBytes() const {
  std::string text;
  for (const WrittenByte& w : written_) text += static_cast<char>(w.byte);
  return text;
}

bool SimulatedLine::Carrier() {
  if (!Enter(LineOp::kCarrier)) return false;
  NowUs();
  return forcedCarrier_.value_or(device_.Carrier());
}

void SimulatedLine::LinesChanged() {
  SyncToClock();
  Pump(nowUs_);
  device_.SetPcLines(dtr_, rts_, nowUs_);
}

bool SimulatedLine::SetDtr(bool on) {
  if (!Enter(LineOp::kSetDtr)) return false;
  dtr_ = on;
  LinesChanged();
  return true;
}

bool SimulatedLine::SetRts(bool on) {
  if (!Enter(LineOp::kSetRts)) return false;
  rts_ = on;
  LinesChanged();
  return true;
}

void SimulatedLine::OnOpened() { settingsAtOpen_ = settings_; }

void SimulatedLine::OnClosed() {
  settings_ = settingsAtOpen_;
  dtr_ = false;
  rts_ = false;
  LinesChanged();
}

// A handle on a registered line, as OpenSystemLine would return it.
class SimulatedPorts::Handle final : public vr::Line {
 public:
  explicit Handle(Port& port) : port_(port), line_(*port.line) {}
  ~Handle() override {
    line_.OnClosed();
    port_.open = false;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool GetSettings(vr::PortSettings& s) override { return line_.GetSettings(s); }
  bool SetSettings(const vr::PortSettings& s) override { return line_.SetSettings(s); }
  bool GetTimeouts(vr::LineTimeouts& t) override { return line_.GetTimeouts(t); }
  bool SetTimeouts(const vr::LineTimeouts& t) override { return line_.SetTimeouts(t); }
  bool SetQueues(std::uint32_t in, std::uint32_t out) override {
    return line_.SetQueues(in, out);
  }
  vr::IoResult Read(std::span<std::uint8_t> b) override { return line_.Read(b); }
  vr::IoResult Write(std::span<const std::uint8_t> b) override { return line_.Write(b); }
  bool Carrier() override { return line_.Carrier(); }
  bool SetDtr(bool on) override { return line_.SetDtr(on); }
  bool SetRts(bool on) override { return line_.SetRts(on); }
  std::uint32_t LastError() const override { return line_.LastError(); }

 private:
  Port& port_;
  SimulatedLine& line_;
};

void SimulatedPorts::Add(const std::string& name, SimulatedLine& line) {
  ports_[name].line = &line;
}

std::unique_ptr<vr::Line> SimulatedPorts::Open(const std::string& name,
                                               std::uint32_t* error) {
  auto setError = [error](std::uint32_t code) {
    if (error != nullptr) *error = code;
  };
  Port& port = ports_[name];
  ++port.attempts;
  if (port.failTimes != 0) {
    if (port.failTimes > 0) --port.failTimes;
    setError(port.failError);
    return nullptr;
  }
  if (port.line == nullptr) {
    setError(kSimErrorNotFound);
    return nullptr;
  }
  if (port.open) {
    setError(kSimErrorBusy);
    return nullptr;
  }
  port.open = true;
  port.line->OnOpened();
  setError(0);
  return std::make_unique<Handle>(port);
}

void SimulatedPorts::FailOpen(const std::string& name, std::uint32_t error, int times) {
  Port& port = ports_[name];
  port.failError = error;
  port.failTimes = times;
}

int SimulatedPorts::OpenAttempts(const std::string& name) const {
  auto it = ports_.find(name);
  return it == ports_.end() ? 0 : it->second.attempts;
}

bool SimulatedPorts::IsOpen(const std::string& name) const {
  auto it = ports_.find(name);
  return it != ports_.end() && it->second.open;
}

}  // namespace vr::sim
