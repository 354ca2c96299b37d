// The Windows line where no COM port exists: opening fails with the system's
// error, which OpenLine reports with 7005.

#include <gtest/gtest.h>

#include "line/line.h"

namespace vr {
namespace {

TEST(Win32LineTest, MissingPortFailsWithTheSystemError) {
  std::uint32_t error = 0;
  EXPECT_EQ(OpenSystemLine("COM219", &error), nullptr);
  EXPECT_EQ(error, 2u);  // ERROR_FILE_NOT_FOUND
}

TEST(Win32LineTest, DeviceNamespaceNamesAreTakenAsGiven) {
  std::uint32_t error = 0;
  EXPECT_EQ(OpenSystemLine("\\\\.\\COM218", &error), nullptr);
  EXPECT_EQ(error, 2u);
}

}  // namespace
}  // namespace vr
