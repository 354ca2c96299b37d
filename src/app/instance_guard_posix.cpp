#include "app/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vr {

InstanceGuard::~InstanceGuard() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

InstanceGuard::Result InstanceGuard::Acquire(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    systemError_ = static_cast<std::uint32_t>(errno);
    error = path + ": " + std::strerror(errno);
    return Result::kFailed;
  }
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int cause = errno;
    ::close(fd);
    if (cause == EWOULDBLOCK) return Result::kHeld;
    systemError_ = static_cast<std::uint32_t>(cause);
    error = path + ": " + std::strerror(cause);
    return Result::kFailed;
  }
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = fd;
  const std::string pid = std::to_string(::getpid()) + "\n";
  // Only a note for people; the lock is what counts, so a failed write is ignored.
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
  return Result::kAcquired;
}

}  // namespace vr
