#include <windows.h>

#include <string>

#include "app/instance_guard.h"
#include "base/wide_text_win32.h"
#include "log/error_log.h"

namespace vr {

namespace {
HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

InstanceGuard::~InstanceGuard() {
  if (handle_ == -1) return;
  ReleaseMutex(AsHandle(handle_));
  CloseHandle(AsHandle(handle_));
}

InstanceGuard::Result InstanceGuard::Acquire(const std::string& name, std::string& error) {
  // Created owned: the first instance holds it for its whole run.
  const HANDLE mutex = CreateMutexW(nullptr, TRUE, WideFromUtf8(name).c_str());
  const DWORD lastError = GetLastError();
  if (mutex == nullptr) {
    systemError_ = lastError;
    error = SystemErrorText(lastError);
    return Result::kFailed;
  }
  if (lastError == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return Result::kHeld;
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  return Result::kAcquired;
}

}  // namespace vr
