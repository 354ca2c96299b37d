#include "line/line.h"

namespace vr {

IoResult Line::ReadWithin(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                          WakeSignal* wake) {
  if (wake && wake->Wait(0)) return {true, 0, 0};
  LineTimeouts saved;
  if (!GetTimeouts(saved)) return {false, 0, LastError()};
  LineTimeouts within = saved;
  within.readTotalMs = timeoutMs;
  if (!SetTimeouts(within)) return {false, 0, LastError()};
  const IoResult result = Read(buffer);
  SetTimeouts(saved);
  return result;
}

IoResult Line::SendFlowChar(std::uint8_t byte) { return Write(std::span(&byte, 1)); }

}  // namespace vr
