#include "app/instance_lock_posix.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"

namespace vr {
namespace {

TEST(InstanceLock, ASecondInstanceForThePortIsRefused) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-dev_ttyS0.lock");
  std::string error;
  InstanceLock first;
  ASSERT_EQ(first.Acquire(path, error), InstanceLock::Result::kAcquired) << error;
  InstanceLock second;
  EXPECT_EQ(second.Acquire(path, error), InstanceLock::Result::kHeld);
}

TEST(InstanceLock, AnotherPortIsNotGuarded) {
  test::TempDir dir;
  std::string error;
  InstanceLock first;
  ASSERT_EQ(first.Acquire(dir.File("vesprec-dev_ttyS0.lock"), error),
            InstanceLock::Result::kAcquired);
  InstanceLock second;
  EXPECT_EQ(second.Acquire(dir.File("vesprec-dev_ttyS1.lock"), error),
            InstanceLock::Result::kAcquired);
}

TEST(InstanceLock, TheGuardEndsWithItsHolder) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-dev_ttyS0.lock");
  std::string error;
  {
    InstanceLock first;
    ASSERT_EQ(first.Acquire(path, error), InstanceLock::Result::kAcquired);
  }
  // The file stays behind; only the lock counts.
  InstanceLock next;
  EXPECT_EQ(next.Acquire(path, error), InstanceLock::Result::kAcquired);
  EXPECT_EQ(dir.Read("vesprec-dev_ttyS0.lock"), std::to_string(::getpid()) + "\n");
}

TEST(InstanceLock, ALockFileThatCannotBeMadeIsAFailure) {
  test::TempDir dir;
  std::string error;
  InstanceLock lock;
  EXPECT_EQ(lock.Acquire(dir.File("missing/vesprec-x.lock"), error), InstanceLock::Result::kFailed);
  EXPECT_NE(error.find("missing/vesprec-x.lock"), std::string::npos);
}

}  // namespace
}  // namespace vr
