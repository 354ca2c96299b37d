#include <gtest/gtest.h>

#include "log/error_log.h"

namespace vr {
namespace {

TEST(LogCharset, PosixLogKeepsUtf8) {
  EXPECT_EQ(ToLogCharset("non \xC3\xA8 disponibile"), "non \xC3\xA8 disponibile");
}

}  // namespace
}  // namespace vr
