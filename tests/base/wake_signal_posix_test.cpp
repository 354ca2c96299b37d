#include <poll.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "base/wake_signal.h"
#include "wake_stress.h"

namespace vr {
namespace {

// The console's main loop waits on the descriptor with poll(), not on Wait.
bool PollDescriptor(WakeSignal& signal, std::uint32_t timeoutMs) {
  pollfd fd{static_cast<int>(signal.NativeHandle()), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&fd, 1, static_cast<int>(timeoutMs));
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (fd.revents & POLLIN) != 0;
}

TEST(SystemWakeSignalPosix, DescriptorIsReadableExactlyWhileRaised) {
  SystemWakeSignal signal;
  ASSERT_GE(signal.NativeHandle(), 0);
  EXPECT_FALSE(PollDescriptor(signal, 0));
  signal.Signal();
  EXPECT_TRUE(PollDescriptor(signal, 0));
  EXPECT_TRUE(signal.Consume());
  EXPECT_FALSE(PollDescriptor(signal, 0));
}

TEST(SystemWakeSignalPosix, BurstsSeenThroughPollAreNeverLostAndNeverSpin) {
  SystemWakeSignal signal;
  const test::WakeStressResult r = test::RunWakeStress(signal, PollDescriptor, 500000);
  EXPECT_FALSE(r.lostWakeUp) << "seen " << r.seen << " of " << r.posted;
  EXPECT_EQ(r.seen, r.posted);
  EXPECT_LE(r.wakeUps, r.posted);
}

}  // namespace
}  // namespace vr
