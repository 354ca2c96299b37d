#pragma once
// Two real threads meeting on a wake signal the way the worker's mailbox and
// the console's queue use it: one posts in bursts (push, then Signal), the
// other waits, lowers the signal (Consume) and takes what is queued. Every
// post must be seen while the producer waits for it (no lost wake-up), and
// the consumer must not wake more often than there were posts (no spin).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "base/wake_signal.h"

namespace vr::test {

struct WakeStressResult {
  std::uint64_t posted = 0;
  std::uint64_t seen = 0;
  std::uint64_t wakeUps = 0;     // waits that ended with the signal raised
  bool lostWakeUp = false;       // a burst was not seen within the deadline
};

// wait(signal, timeoutMs): true when the signal is raised (without lowering it).
inline WakeStressResult RunWakeStress(WakeSignal& signal,
                                      const std::function<bool(WakeSignal&, std::uint32_t)>& wait,
                                      std::uint64_t posts) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kBurstDeadline = std::chrono::seconds(5);
  constexpr std::uint32_t kWaitMs = 200;  // the consumer looks at `done` this often

  std::mutex mutex;
  std::vector<std::uint64_t> queue;
  std::atomic<std::uint64_t> seen{0};
  std::atomic<bool> done{false};
  WakeStressResult result;

  std::thread consumer([&] {
    while (!done) {
      if (!wait(signal, kWaitMs)) continue;
      ++result.wakeUps;
      signal.Consume();
      std::vector<std::uint64_t> taken;
      {
        std::lock_guard lock(mutex);
        taken.swap(queue);
      }
      seen += taken.size();
    }
  });

  std::mt19937 random(7);
  std::uniform_int_distribution<int> burstSize(1, 8);
  while (result.posted < posts && !result.lostWakeUp) {
    const int burst = burstSize(random);
    for (int i = 0; i < burst && result.posted < posts; ++i) {
      {
        std::lock_guard lock(mutex);
        queue.push_back(result.posted);
      }
      ++result.posted;
      signal.Signal();
    }
    // The consumer must catch up on its own: a lost wake-up leaves it
    // asleep with the burst in the queue.
    const auto deadline = Clock::now() + kBurstDeadline;
    while (seen < result.posted) {
      if (Clock::now() >= deadline) {
        result.lostWakeUp = true;
        break;
      }
      std::this_thread::yield();
    }
  }
  done = true;
  consumer.join();
  result.seen = seen;
  return result;
}

}  // namespace vr::test
