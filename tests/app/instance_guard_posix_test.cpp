#include "app/instance_guard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"

namespace vr {
namespace {

TEST(InstanceGuard, ASecondInstanceForThePortIsRefused) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-dev_ttyS0.lock");
  std::string error;
  InstanceGuard first;
  ASSERT_EQ(first.Acquire(path, error), InstanceGuard::Result::kAcquired) << error;
  InstanceGuard second;
  EXPECT_EQ(second.Acquire(path, error), InstanceGuard::Result::kHeld);
}

TEST(InstanceGuard, AnotherPortIsNotGuarded) {
  test::TempDir dir;
  std::string error;
  InstanceGuard first;
  ASSERT_EQ(first.Acquire(dir.File("vesprec-dev_ttyS0.lock"), error),
            InstanceGuard::Result::kAcquired);
  InstanceGuard second;
  EXPECT_EQ(second.Acquire(dir.File("vesprec-dev_ttyS1.lock"), error),
            InstanceGuard::Result::kAcquired);
}

TEST(InstanceGuard, TheGuardEndsWithItsHolder) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-dev_ttyS0.lock");
  std::string error;
  {
    InstanceGuard first;
    ASSERT_EQ(first.Acquire(path, error), InstanceGuard::Result::kAcquired);
  }
  // The file stays behind; only the lock counts.
  InstanceGuard next;
  EXPECT_EQ(next.Acquire(path, error), InstanceGuard::Result::kAcquired);
  EXPECT_EQ(dir.Read("vesprec-dev_ttyS0.lock"), std::to_string(::getpid()) + "\n");
}

TEST(InstanceGuard, ALockFileThatCannotBeMadeIsAFailure) {
  test::TempDir dir;
  std::string error;
  InstanceGuard lock;
  EXPECT_EQ(lock.Acquire(dir.File("missing/vesprec-x.lock"), error), InstanceGuard::Result::kFailed);
  EXPECT_NE(error.find("missing/vesprec-x.lock"), std::string::npos);
}

}  // namespace
}  // namespace vr
