#pragma once
// Process-wide flags shared by the main thread and the site worker. Each is
// set by one side and polled by the other; no lock is needed.

#include <array>
#include <atomic>

namespace vr {

constexpr int kFirstWarningId = 7001;
constexpr int kLastWarningId = 7011;

struct ProcessFlags {
  std::atomic<bool> quit{false};     // the main loop ends
  std::atomic<bool> stop{false};     // the running connection ends
  std::atomic<bool> closing{false};  // the site worker ends
  std::atomic<bool> reload{false};   // read the configuration again

  // One flag per warning id 7001..7011: a warning for that id is queued or shown.
  std::array<std::atomic<bool>, kLastWarningId - kFirstWarningId + 1> warningPending{};

  std::atomic<bool>& WarningPending(int id) { return warningPending.at(id - kFirstWarningId); }

  void ClearWarnings() {
    for (auto& f : warningPending) f = false;
  }
};

}  // namespace vr
