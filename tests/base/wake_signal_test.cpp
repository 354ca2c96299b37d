#include "base/wake_signal.h"

#include <gtest/gtest.h>

#include "base/clock.h"
#include "wake_stress.h"

namespace vr {
namespace {

TEST(SystemWakeSignal, RaisedUntilConsumedAndConsumedOnce) {
  SystemWakeSignal signal;
  EXPECT_FALSE(signal.Wait(0));
  EXPECT_FALSE(signal.Consume());
  signal.Signal();
  signal.Signal();
  EXPECT_TRUE(signal.Wait(0));
  EXPECT_TRUE(signal.Wait(0));  // waiting does not lower it
  EXPECT_TRUE(signal.Consume());
  EXPECT_FALSE(signal.Wait(0));
  EXPECT_FALSE(signal.Consume());
}

TEST(SystemWakeSignal, BurstsAcrossThreadsAreNeverLostAndNeverSpin) {
  SystemWakeSignal signal;
  const test::WakeStressResult r = test::RunWakeStress(
      signal, [](WakeSignal& s, std::uint32_t timeoutMs) { return s.Wait(timeoutMs); }, 200000);
  EXPECT_FALSE(r.lostWakeUp) << "seen " << r.seen << " of " << r.posted;
  EXPECT_EQ(r.seen, r.posted);
  EXPECT_LE(r.wakeUps, r.posted);
}

TEST(WaitForEither, EndsOnEitherSignalAndOnlyLooks) {
  SystemWakeSignal first;
  SystemWakeSignal second;
  EXPECT_FALSE(WaitForEither(first, second, 0));
  second.Signal();
  EXPECT_TRUE(WaitForEither(first, second, 1000));
  EXPECT_TRUE(second.Consume());  // still raised after the wait
  first.Signal();
  EXPECT_TRUE(WaitForEither(first, second, 1000));
  EXPECT_FALSE(second.Wait(0));
}

TEST(WaitForEither, ManualSignalsMoveTheClockOnlyWhileBothAreLow) {
  ManualClock clock;
  ManualWakeSignal first(clock);
  ManualWakeSignal second(clock);
  EXPECT_FALSE(WaitForEither(first, second, 1000));
  EXPECT_EQ(clock.TickMs(), 1000u);
  second.Signal();
  EXPECT_TRUE(WaitForEither(first, second, 1000));
  EXPECT_EQ(clock.TickMs(), 1000u);
}

}  // namespace
}  // namespace vr
