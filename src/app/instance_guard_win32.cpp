#include <windows.h>

#include <string>

#include "app/instance_guard.h"
#include "base/wide_text_win32.h"
#include "log/error_log.h"

namespace vr {

namespace {
HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

void Drop(std::intptr_t& handle) {
  if (handle == -1) return;
  ReleaseMutex(AsHandle(handle));
  CloseHandle(AsHandle(handle));
  handle = -1;
}

enum class Take { kOwned, kHeld, kFailed };

// Created owned: the first instance holds it for its whole run. An
// existing one is held by another instance, unless it is this process's
// own under a second name (in the service's session the local and the
// shared names are one object): a wait that does not block tells which.
Take TakeMutex(const std::wstring& name, bool mayBeOurs, std::intptr_t& handle,
               DWORD& lastError) {
  const HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
  lastError = GetLastError();
  if (mutex == nullptr) {
    // Made by another account (the service's): it exists, so the port is served.
    return lastError == ERROR_ACCESS_DENIED ? Take::kHeld : Take::kFailed;
  }
  if (lastError == ERROR_ALREADY_EXISTS &&
      !(mayBeOurs && WaitForSingleObject(mutex, 0) != WAIT_TIMEOUT)) {
    CloseHandle(mutex);
    return Take::kHeld;
  }
  handle = reinterpret_cast<std::intptr_t>(mutex);
  return Take::kOwned;
}

}  // namespace

InstanceGuard::~InstanceGuard() {
  Drop(handle_);
  Drop(shared_);
}

InstanceGuard::Result InstanceGuard::Acquire(const std::string& name, std::string& error) {
  const std::wstring local = WideFromUtf8(name);
  DWORD lastError = 0;
  Take taken = TakeMutex(L"Global\\" + local, false, shared_, lastError);
  // A system without the shared namespace still has the local name.
  if (taken == Take::kFailed) taken = Take::kOwned;
  if (taken == Take::kOwned) taken = TakeMutex(local, shared_ != -1, handle_, lastError);
  if (taken == Take::kOwned) return Result::kAcquired;
  Drop(handle_);
  Drop(shared_);
  if (taken == Take::kHeld) return Result::kHeld;
  systemError_ = lastError;
  error = SystemErrorText(lastError);
  return Result::kFailed;
}

}  // namespace vr
