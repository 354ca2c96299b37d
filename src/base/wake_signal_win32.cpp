#include <windows.h>

#include "base/wake_signal.h"

namespace vr {

// A manual-reset event whose signalled state is the signal's only state.
SystemWakeSignal::SystemWakeSignal() {
  handles_[0] = reinterpret_cast<std::intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

SystemWakeSignal::~SystemWakeSignal() {
  if (handles_[0]) CloseHandle(reinterpret_cast<HANDLE>(handles_[0]));
}

void SystemWakeSignal::Signal() { SetEvent(reinterpret_cast<HANDLE>(handles_[0])); }

bool SystemWakeSignal::Consume() {
  const HANDLE event = reinterpret_cast<HANDLE>(handles_[0]);
  // A Signal between the test and the reset is not lost to the consumer:
  // whatever it announced was queued before it, and the consumer takes the
  // queue after Consume.
  const bool raised = WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
  if (raised) ResetEvent(event);
  return raised;
}

bool SystemWakeSignal::Wait(std::uint32_t timeoutMs) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(handles_[0]), timeoutMs) == WAIT_OBJECT_0;
}

std::intptr_t SystemWakeSignal::NativeHandle() const { return handles_[0]; }

bool WaitForEither(WakeSignal& first, WakeSignal& second, std::uint32_t timeoutMs) {
  const auto a = first.NativeHandle();
  const auto b = second.NativeHandle();
  if (a <= 0 || b <= 0) return WaitForEitherPolled(first, second, timeoutMs);
  const HANDLE handles[2] = {reinterpret_cast<HANDLE>(a), reinterpret_cast<HANDLE>(b)};
  const DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
  return result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1;
}

}  // namespace vr
