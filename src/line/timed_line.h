#pragma once
// What a line with its own clockwork shares (the POSIX port, the TCP line):
// the time-out record is kept here, and both kinds of read come down to one
// "read until this deadline, or until the wake is raised". The interval
// time-out is the implementation's, as it alone sees the bytes come: once a
// byte has come it waits no longer than QuietDeadline() after the last one.

#include <chrono>
#include <climits>
#include <optional>

#include "line/line.h"

namespace vr {

class TimedLine : public Line {
 public:
  using Steady = std::chrono::steady_clock;
  using Deadline = std::optional<Steady::time_point>;

  bool GetTimeouts(LineTimeouts& timeouts) override {
    timeouts = timeouts_;
    return true;
  }
  bool SetTimeouts(const LineTimeouts& timeouts) override {
    timeouts_ = timeouts;
    return true;
  }
  IoResult Read(std::span<std::uint8_t> buffer) override {
    return ReadUntil(buffer, DeadlineAfter(timeouts_.readTotalMs), nullptr);
  }
  // The wake is waited on together with the line, so a raised wake ends the
  // wait at once; the line's own time-outs are left alone.
  IoResult ReadWithin(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                      WakeSignal* wake) override {
    if (wake != nullptr && wake->Wait(0)) return {.ok = true};
    return ReadUntil(buffer, DeadlineAfter(timeoutMs), wake);
  }

  // A total time-out of 0 means no time-out, as on Windows.
  static Deadline DeadlineAfter(std::uint32_t totalMs) {
    if (totalMs == 0) return std::nullopt;
    return Steady::now() + std::chrono::milliseconds(totalMs);
  }
  // The earlier of two deadlines.
  static Deadline Sooner(const Deadline& a, const Deadline& b) {
    if (!a) return b;
    if (!b) return a;
    return *a < *b ? a : b;
  }
  // Milliseconds to wait until the deadline (-1: no deadline), rounded up so
  // that a wait never ends before it.
  static int MsUntil(const Deadline& deadline) {
    if (!deadline) return -1;
    const auto left = *deadline - Steady::now();
    if (left <= Steady::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
  }

 protected:
  // Reads until the buffer is full, the deadline has passed or wake (may be
  // null) is raised.
  virtual IoResult ReadUntil(std::span<std::uint8_t> buffer, const Deadline& deadline,
                             WakeSignal* wake) = 0;
  const LineTimeouts& Timeouts() const { return timeouts_; }
  // When a read ends for the interval time-out if no byte comes after one
  // that came now (none: the line has no interval time-out).
  Deadline QuietDeadline() const { return DeadlineAfter(timeouts_.readIntervalMs); }

 private:
  LineTimeouts timeouts_;
};

}  // namespace vr
