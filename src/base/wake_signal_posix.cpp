#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/wake_signal.h"

namespace vr {

// A self-pipe: one byte in it while the signal is raised.
SystemWakeSignal::SystemWakeSignal() {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    handles_[0] = fds[0];
    handles_[1] = fds[1];
  }
}

SystemWakeSignal::~SystemWakeSignal() {
  for (std::intptr_t fd : handles_)
    if (fd >= 0) ::close(static_cast<int>(fd));
}

void SystemWakeSignal::Signal() {
  if (raised_.exchange(true)) return;
  const char byte = 1;
  ssize_t written;
  do {
    written = ::write(static_cast<int>(handles_[1]), &byte, 1);
  } while (written < 0 && errno == EINTR);
}

bool SystemWakeSignal::Consume() {
  if (!raised_.exchange(false)) return false;
  char bytes[16];
  while (::read(static_cast<int>(handles_[0]), bytes, sizeof bytes) > 0) {
  }
  return true;
}

bool SystemWakeSignal::Wait(std::uint32_t timeoutMs) {
  if (raised_) return true;
  pollfd fd{static_cast<int>(handles_[0]), POLLIN, 0};
  int result;
  do {
    result = ::poll(&fd, 1, static_cast<int>(timeoutMs));
  } while (result < 0 && errno == EINTR);
  return raised_;
}

std::intptr_t SystemWakeSignal::NativeHandle() const { return handles_[0]; }

}  // namespace vr
