#pragma once
// A Line whose far end is a script, for tests that care about exact byte
// sequences: bytes "arrive" at given ticks of a ManualClock, a reaction
// function answers the PC's writes, and every write, read and control-line
// change is recorded in order.
//
// Reads keep the total time-out meaning: a read takes the bytes that have
// arrived by its deadline, up to its count; it ends (and the clock moves) at
// the arrival of its last byte when the count is reached, else at the
// deadline.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "line/line.h"

namespace vr::test {

class ScriptedLine final : public Line {
 public:
  struct Event {
    enum class Kind { kWrite, kRead, kDtr, kRts };
    Kind kind;
    std::string bytes;       // written, or read
    std::size_t asked = 0;   // what a read asked for
    bool on = false;         // DTR, RTS
    std::uint64_t atMs = 0;  // when it began
  };

  explicit ScriptedLine(ManualClock& clock) : clock_(clock) {}

  // --- The far end ---

  // Bytes that reach the PC at tick atMs (now when left out).
  // Bytes are read in time order; bytes due at the same tick in the order given.
  void Arrive(std::string_view bytes, std::uint64_t atMs) {
    auto at = std::find_if(input_.begin(), input_.end(),
                           [atMs](const Arrival& a) { return a.atMs > atMs; });
    for (const char c : bytes)
      at = std::next(input_.insert(at, {static_cast<std::uint8_t>(c), atMs}));
  }
  void Arrive(std::string_view bytes) { Arrive(bytes, clock_.TickMs()); }
  // Called after every write with the bytes that went out.
  std::function<void(std::string_view written)> onWrite;

  bool carrier = false;
  // Further writes transfer at most this many bytes each, one entry per write.
  std::deque<std::size_t> writeLimits;
  // Failures of the setting calls, with their system error.
  bool failSetSettings = false;
  bool failSetTimeouts = false;
  bool failSetQueues = false;
  bool failModemLines = false;  // like a pty: no DTR, RTS or carrier
  std::uint32_t failError = 31;

  // --- What the PC did ---

  std::vector<Event> events;
  std::vector<PortSettings> settingsApplied;
  std::vector<LineTimeouts> timeoutsApplied;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> queuesApplied;
  PortSettings settings;
  LineTimeouts timeouts;
  bool dtr = true;
  bool rts = true;
  int opens = 0;   // handles made (ScriptedLineHandle)
  int closes = 0;  // handles closed

  // Every byte written, in order.
  std::string Written() const {
    std::string all;
    for (const Event& e : events)
      if (e.kind == Event::Kind::kWrite) all += e.bytes;
    return all;
  }
  // Each write's bytes.
  std::vector<std::string> Writes() const {
    std::vector<std::string> writes;
    for (const Event& e : events)
      if (e.kind == Event::Kind::kWrite) writes.push_back(e.bytes);
    return writes;
  }
  int Reads() const {
    return static_cast<int>(std::count_if(
        events.begin(), events.end(), [](const Event& e) { return e.kind == Event::Kind::kRead; }));
  }
  std::size_t PendingBytes() const { return input_.size(); }

  // --- Line ---

  bool GetSettings(PortSettings& s) override {
    s = settings;
    return true;
  }
  bool SetSettings(const PortSettings& s) override {
    if (failSetSettings) return Fail();
    settings = s;
    settingsApplied.push_back(s);
    return true;
  }
  bool GetTimeouts(LineTimeouts& t) override {
    t = timeouts;
    return true;
  }
  bool SetTimeouts(const LineTimeouts& t) override {
    if (failSetTimeouts) return Fail();
    timeouts = t;
    timeoutsApplied.push_back(t);
    return true;
  }
  bool SetQueues(std::uint32_t in, std::uint32_t out) override {
    if (failSetQueues) return Fail();
    queuesApplied.emplace_back(in, out);
    return true;
  }

  IoResult Read(std::span<std::uint8_t> buffer) override {
    const std::uint64_t start = clock_.TickMs();
    const std::uint64_t deadline = start + timeouts.readTotalMs;
    std::string got;
    std::uint64_t end = buffer.empty() ? start : deadline;
    while (got.size() < buffer.size() && !input_.empty() && input_.front().atMs <= deadline) {
      buffer[got.size()] = input_.front().byte;
      got.push_back(static_cast<char>(input_.front().byte));
      end = std::max(start, input_.front().atMs);
      input_.pop_front();
    }
    if (got.size() < buffer.size()) end = deadline;
    clock_.AdvanceMs(end - start);
    events.push_back({Event::Kind::kRead, got, buffer.size(), false, start});
    return {.ok = true, .bytes = got.size()};
  }

  IoResult Write(std::span<const std::uint8_t> bytes) override {
    std::size_t n = bytes.size();
    if (!writeLimits.empty()) {
      n = std::min(n, writeLimits.front());
      writeLimits.pop_front();
    }
    const std::string out(reinterpret_cast<const char*>(bytes.data()), n);
    events.push_back({Event::Kind::kWrite, out, 0, false, clock_.TickMs()});
    if (onWrite) onWrite(out);
    return {.ok = true, .bytes = n};
  }

  bool Carrier() override { return failModemLines ? Fail() : carrier; }
  bool SetDtr(bool on) override { return ModemLine(Event::Kind::kDtr, dtr, on); }
  bool SetRts(bool on) override { return ModemLine(Event::Kind::kRts, rts, on); }
  std::uint32_t LastError() const override { return lastError_; }

 private:
  struct Arrival {
    std::uint8_t byte;
    std::uint64_t atMs;
  };

  bool Fail() {
    lastError_ = failError;
    return false;
  }
  bool ModemLine(Event::Kind kind, bool& line, bool on) {
    if (failModemLines) return Fail();
    line = on;
    events.push_back({kind, {}, 0, on, clock_.TickMs()});
    return true;
  }

  ManualClock& clock_;
  std::deque<Arrival> input_;
  std::uint32_t lastError_ = 0;
};

// A handle on a ScriptedLine that the code under test can own and close (as
// OpenLine owns what its opener returns); closing counts on the line.
class ScriptedLineHandle final : public Line {
 public:
  explicit ScriptedLineHandle(ScriptedLine& line) : line_(line) { ++line_.opens; }
  ~ScriptedLineHandle() override { ++line_.closes; }
  ScriptedLineHandle(const ScriptedLineHandle&) = delete;
  ScriptedLineHandle& operator=(const ScriptedLineHandle&) = delete;

  bool GetSettings(PortSettings& s) override { return line_.GetSettings(s); }
  bool SetSettings(const PortSettings& s) override { return line_.SetSettings(s); }
  bool GetTimeouts(LineTimeouts& t) override { return line_.GetTimeouts(t); }
  bool SetTimeouts(const LineTimeouts& t) override { return line_.SetTimeouts(t); }
  bool SetQueues(std::uint32_t in, std::uint32_t out) override { return line_.SetQueues(in, out); }
  IoResult Read(std::span<std::uint8_t> b) override { return line_.Read(b); }
  IoResult Write(std::span<const std::uint8_t> b) override { return line_.Write(b); }
  bool Carrier() override { return line_.Carrier(); }
  bool SetDtr(bool on) override { return line_.SetDtr(on); }
  bool SetRts(bool on) override { return line_.SetRts(on); }
  std::uint32_t LastError() const override { return line_.LastError(); }

 private:
  ScriptedLine& line_;
};

// Bytes as a string, for comparisons with what a line recorded.
inline std::string Bytes(std::initializer_list<std::uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace vr::test
