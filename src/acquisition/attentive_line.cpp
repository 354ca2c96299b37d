#include "acquisition/attentive_line.h"

#include <utility>

namespace vr {

AttentiveLine::AttentiveLine(std::unique_ptr<Line> port, WorkerAttention attention)
    : ForwardingLine(std::move(port)), attention_(std::move(attention)) {}

bool AttentiveLine::GetTimeouts(LineTimeouts& timeouts) {
  if (!Port().GetTimeouts(timeouts)) return false;
  timeouts_ = timeouts;
  timeoutsKnown_ = true;
  return true;
}

bool AttentiveLine::SetTimeouts(const LineTimeouts& timeouts) {
  if (!Port().SetTimeouts(timeouts)) return false;
  timeouts_ = timeouts;
  timeoutsKnown_ = true;
  return true;
}

IoResult AttentiveLine::Read(std::span<std::uint8_t> buffer) {
  if (!timeoutsKnown_) {
    LineTimeouts current;
    if (!GetTimeouts(current)) {
      const IoResult failed{false, 0, Port().LastError()};
      attention_.fault.Note(failed);
      return failed;
    }
  }
  const Clock& clock = attention_.clock;
  // A stop already in force when the read began does not cut a read that has
  // an end: the drain at the end of a connection still collects what is in
  // flight. A read without an end then gets a short one.
  const bool stopAtStart = attention_.stop.load();
  std::uint32_t totalMs = timeouts_.readTotalMs;
  if (totalMs == 0 && stopAtStart) totalMs = kStoppedReadMs;
  const std::uint64_t deadlineMs = clock.TickMs() + totalMs;

  IoResult r{.ok = true};
  const std::uint32_t intervalMs = timeouts_.readIntervalMs;
  for (;;) {
    std::uint32_t sliceMs = kReadSliceMs;
    if (totalMs != 0) {
      const std::uint64_t nowMs = clock.TickMs();
      const std::uint64_t leftMs = deadlineMs > nowMs ? deadlineMs - nowMs : 0;
      if (leftMs < sliceMs) sliceMs = static_cast<std::uint32_t>(leftMs);
    }
    // A slice after the one that brought bytes starts its interval only at
    // its own first byte: bounded by the interval, it ends on a silence.
    if (intervalMs != 0 && r.bytes > 0 && intervalMs < sliceMs) sliceMs = intervalMs;
    const IoResult slice =
        Port().ReadWithin(buffer.subspan(r.bytes), sliceMs == 0 ? 1 : sliceMs, &attention_.wake);
    r.bytes += slice.bytes;
    if (slice.connectionEnded) {
      r.connectionEnded = true;
      return r;
    }
    if (!slice.ok) {
      r.ok = false;
      r.error = slice.error;
      attention_.fault.Note(r);
      return r;
    }
    if (r.bytes == buffer.size()) return r;
    const bool woken = attention_.wake.Wait(0);
    // Unless the wake cut it, a slice that ends short once bytes have come
    // ended on the interval time-out (or was bounded by it).
    if (intervalMs != 0 && r.bytes > 0 && !woken) return r;
    if (woken) {
      // Nobody to take the requests here: waiting on would only spin.
      if (!attention_.pump) return r;
      attention_.pump();
    }
    if (attention_.stop && !stopAtStart) return r;
    if (totalMs != 0 && clock.TickMs() >= deadlineMs) return r;
  }
}

IoResult AttentiveLine::ReadWithin(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                                   WakeSignal* wake) {
  const IoResult r = Port().ReadWithin(buffer, timeoutMs, wake);
  attention_.fault.Note(r);
  return r;
}

}  // namespace vr
