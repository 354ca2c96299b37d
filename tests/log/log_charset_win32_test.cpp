#include <gtest/gtest.h>

#include "log/error_log.h"

namespace vr {
namespace {

// The Windows program's log is ANSI (Windows-1252), like the original's.
TEST(LogCharset, TableTextsBecomeWindows1252) {
  EXPECT_EQ(ToLogCharset("Errore n\xC2\xB0 "), "Errore n\xB0 ");
  EXPECT_EQ(ToLogCharset("non \xC3\xA8 disponibile"), "non \xE8 disponibile");
  EXPECT_EQ(ToLogCharset(""), "");
}

}  // namespace
}  // namespace vr
