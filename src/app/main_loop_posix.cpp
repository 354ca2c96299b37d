#include "app/main_loop_posix.h"

#include <poll.h>

#include <cerrno>
#include <span>
#include <vector>

namespace vr {

void RunMainLoop(MainLoopParts& parts, const std::function<bool()>& done, int extraFd) {
  std::vector<pollfd> fds;
  while (!done()) {
    fds.clear();
    const int signalFd = parts.signals ? parts.signals->Descriptor() : -1;
    // poll() passes over negative descriptors, so the layout stays fixed.
    fds.push_back({signalFd, POLLIN, 0});
    fds.push_back({parts.frontEnd.WakeDescriptor(), POLLIN, 0});
    fds.push_back({extraFd, POLLIN, 0});
    const std::size_t serverAt = fds.size();
    if (parts.server) parts.server->AppendPollSet(fds);

    int waitMs = parts.frontEnd.MsUntilNextExpiry();
    if (parts.server) {
      // Whichever comes first: a warning's expiry or a control client's deadline.
      const int deadlineMs = parts.server->MsUntilNextDeadline();
      if (deadlineMs >= 0 && (waitMs < 0 || deadlineMs < waitMs)) waitMs = deadlineMs;
    }
    const int ready = ::poll(fds.data(), fds.size(), waitMs);
    if (ready < 0 && errno != EINTR) break;  // cannot wait: better end than spin
    if (ready < 0) continue;

    if (parts.signals && (fds[0].revents & POLLIN)) {
      for (const int signalNumber : parts.signals->Take())
        if (parts.onSignal) parts.onSignal(signalNumber);
    }
    // Also when only a warning expired: Drain lets it go.
    parts.frontEnd.Drain();
    if (parts.server)
      parts.server->HandleEvents(std::span<const pollfd>(fds).subspan(serverAt), parts.answer);
  }
}

}  // namespace vr
