// VESPREC.INI in a program folder whose name lies outside the ANSI code
// page: the profile is read and written there, under its real name.

#include <gtest/gtest.h>

#include <string>

#include "config/profile.h"
#include "support/non_ascii_dir_win32.h"

namespace vr {
namespace {

TEST(ProfileInNonAsciiFolder, IsReadAndWrittenInPlace) {
  test::NonAsciiDir dir;
  dir.Write("VESPREC.INI", "[General]\r\nCom=COM7\r\n[0001]\r\nFlagCRLF=0\r\n");
  Profile profile(dir.Utf8File("VESPREC.INI"));

  EXPECT_EQ(profile.ReadString("General", "Com", "-", 64), "COM7");
  ASSERT_TRUE(profile.WriteString("0001", "FlagCRLF", "1"));
  EXPECT_EQ(dir.Read("VESPREC.INI"), "[General]\r\nCom=COM7\r\n[0001]\r\nFlagCRLF=1\r\n");
  EXPECT_EQ(profile.ReadInt("0001", "FlagCRLF", -1), 1);
}

}  // namespace
}  // namespace vr
