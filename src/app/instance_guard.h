#pragma once
// The instance guard: one running instance per port. POSIX: an exclusive,
// non-blocking flock on a lock file named after the port; Windows: a named
// mutex whose name is the port, as other programs of the site may expect,
// and one of the same name in the namespace that all sessions share, so
// that the service and a start on a desktop never serve one port together.
// The system drops either when the process ends, however it ends, so a crash
// leaves no stale guard behind.

#include <cstdint>
#include <string>

namespace vr {

class InstanceGuard {
 public:
  enum class Result {
    kAcquired,
    kHeld,    // another instance serves the port
    kFailed,  // the guard could not be made
  };

  InstanceGuard() = default;
  ~InstanceGuard();  // releases the guard (a lock file stays: removing it would race a starter)
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

  // name: POSIX the lock file's path (this process's id is written into it,
  // for a person who looks); Windows the mutex's name. error tells why on
  // kFailed, with the system's error code in SystemError().
  Result Acquire(const std::string& name, std::string& error);
  std::uint32_t SystemError() const { return systemError_; }

 private:
  std::intptr_t handle_ = -1;  // POSIX: the descriptor; Windows: the mutex
  // Windows: the same name seen from every session (POSIX has no use for it).
  [[maybe_unused]] std::intptr_t shared_ = -1;
  std::uint32_t systemError_ = 0;
};

}  // namespace vr
