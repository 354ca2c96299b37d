#include <windows.h>

#include "base/wake_signal.h"

namespace vr {

SystemWakeSignal::SystemWakeSignal() {
  handles_[0] = reinterpret_cast<std::intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

SystemWakeSignal::~SystemWakeSignal() {
  if (handles_[0]) CloseHandle(reinterpret_cast<HANDLE>(handles_[0]));
}

void SystemWakeSignal::Signal() {
  raised_ = true;
  SetEvent(reinterpret_cast<HANDLE>(handles_[0]));
}

bool SystemWakeSignal::Consume() {
  ResetEvent(reinterpret_cast<HANDLE>(handles_[0]));
  return raised_.exchange(false);
}

bool SystemWakeSignal::Wait(std::uint32_t timeoutMs) {
  if (raised_) return true;
  WaitForSingleObject(reinterpret_cast<HANDLE>(handles_[0]), timeoutMs);
  return raised_;
}

std::intptr_t SystemWakeSignal::NativeHandle() const { return handles_[0]; }

}  // namespace vr
