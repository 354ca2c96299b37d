#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vr {
namespace {

TEST(ParseCommandLine, SiteCodeAndSlaveMode) {
  const struct {
    const char* line;
    const char* site;
    bool slave;
  } kCases[] = {
      {"", "", false},
      {"/Sito=12/Slave", "12", true},
      {"/Sito=ABCDEF", "ABCD", false},
      {"/slave", "", false},             // case-sensitive
      {"/sito=0001", "", false},         // case-sensitive
      {"/Sito=0001 /Slave", "0001", true},
      {"/Slave /Sito=AB", "AB", true},   // ends with the line
      {"/Sito=", "", false},
      {"/Sito=/Slave", "", true},
      {"xx/Sito=A B/", "A B", false},    // nothing else on the line matters
      {"/Sito=01/2", "01", false},
      {"/SlaveX", "", true},             // a substring search
  };
  for (const auto& c : kCases) {
    const CommandLine parsed = ParseCommandLine(c.line);
    EXPECT_EQ(parsed.siteCode, c.site) << c.line;
    EXPECT_EQ(parsed.slave, c.slave) << c.line;
  }
}

TEST(ParsePosixArguments, OwnOptionsAndTheWindowsStyleRest) {
  const PosixArguments a = ParsePosixArguments({"--dir", "/srv/vrec", "/Sito=0001", "/Slave"});
  EXPECT_TRUE(a.error.empty());
  EXPECT_EQ(a.dir, "/srv/vrec");
  EXPECT_EQ(a.commandLine.siteCode, "0001");
  EXPECT_TRUE(a.commandLine.slave);
  EXPECT_FALSE(a.check);

  const PosixArguments b = ParsePosixArguments({"--check", "--dir=/x"});
  EXPECT_TRUE(b.check);
  EXPECT_EQ(b.dir, "/x");

  EXPECT_TRUE(ParsePosixArguments({"--help"}).help);
  EXPECT_TRUE(ParsePosixArguments({"-h"}).help);
  EXPECT_TRUE(ParsePosixArguments({"--version"}).version);
}

TEST(ParsePosixArguments, ArgumentsJoinWithBlanksLikeOneCommandLine) {
  // The code is the four characters after "=", blank included.
  const PosixArguments a = ParsePosixArguments({"/Sito=AB", "CD"});
  EXPECT_EQ(a.commandLine.siteCode, "AB C");
}

TEST(ParsePosixArguments, UsageErrors) {
  EXPECT_FALSE(ParsePosixArguments({"--dir"}).error.empty());
  EXPECT_FALSE(ParsePosixArguments({"--frobnicate"}).error.empty());
}

TEST(ParsePosixArguments, ControlCommands) {
  const PosixArguments a = ParsePosixArguments({"ctl", "--dir", "/d", "start", "0001"});
  EXPECT_TRUE(a.ctl);
  EXPECT_EQ(a.dir, "/d");
  EXPECT_EQ(a.ctlArgs, (std::vector<std::string>{"start", "0001"}));
  EXPECT_FALSE(ParsePosixArguments({"/Slave", "ctl"}).ctl);
}

}  // namespace
}  // namespace vr
