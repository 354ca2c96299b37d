#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "base/wake_signal.h"

namespace vr {

// An eventfd: its counter is the signal's only state, so no order of Signal
// and Consume on two threads can leave the descriptor and the state apart
// (a raised signal with a silent descriptor, or the reverse).
SystemWakeSignal::SystemWakeSignal() {
  handles_[0] = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

SystemWakeSignal::~SystemWakeSignal() {
  if (handles_[0] >= 0) ::close(static_cast<int>(handles_[0]));
}

void SystemWakeSignal::Signal() {
  const std::uint64_t one = 1;
  ssize_t written;
  do {
    written = ::write(static_cast<int>(handles_[0]), &one, sizeof one);
  } while (written < 0 && errno == EINTR);
  // EAGAIN only when the counter is at its maximum: it is raised anyway.
}

bool SystemWakeSignal::Consume() {
  std::uint64_t count = 0;
  ssize_t got;
  do {
    got = ::read(static_cast<int>(handles_[0]), &count, sizeof count);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof count) && count > 0;
}

bool SystemWakeSignal::Wait(std::uint32_t timeoutMs) {
  pollfd fd{static_cast<int>(handles_[0]), POLLIN, 0};
  const int waitMs = timeoutMs > 0x7FFFFFFFu ? -1 : static_cast<int>(timeoutMs);
  int result;
  do {
    result = ::poll(&fd, 1, waitMs);
  } while (result < 0 && errno == EINTR);
  return result > 0 && (fd.revents & POLLIN) != 0;
}

std::intptr_t SystemWakeSignal::NativeHandle() const { return handles_[0]; }

bool WaitForEither(WakeSignal& first, WakeSignal& second, std::uint32_t timeoutMs) {
  const auto a = first.NativeHandle();
  const auto b = second.NativeHandle();
  if (a < 0 || b < 0) return WaitForEitherPolled(first, second, timeoutMs);
  pollfd fds[2] = {{static_cast<int>(a), POLLIN, 0}, {static_cast<int>(b), POLLIN, 0}};
  const int waitMs = timeoutMs > 0x7FFFFFFFu ? -1 : static_cast<int>(timeoutMs);
  int result;
  do {
    result = ::poll(fds, 2, waitMs);
  } while (result < 0 && errno == EINTR);
  return result > 0;
}

}  // namespace vr
