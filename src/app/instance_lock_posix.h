#pragma once
// The instance guard: one running instance per port. An exclusive,
// non-blocking flock on a lock file named after the port; the system drops
// the lock when the process ends, however it ends, so a crash leaves no
// stale guard behind.

#include <string>

namespace vr {

class InstanceLock {
 public:
  enum class Result {
    kAcquired,
    kHeld,    // another instance serves the port
    kFailed,  // the lock file could not be opened or locked
  };

  InstanceLock() = default;
  ~InstanceLock();  // releases the lock (the file stays: removing it would race a starter)
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock and writes this process's id into the file, for a person
  // who looks. error tells why on kFailed.
  Result Acquire(const std::string& path, std::string& error);

 private:
  int fd_ = -1;
};

}  // namespace vr
