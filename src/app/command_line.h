#pragma once
// The program's command line.

#include <string>
#include <string_view>
#include <vector>

namespace vr {

struct CommandLine {
  std::string siteCode;  // from /Sito=, at most 4 characters; empty when absent
  bool slave = false;    // /Slave
};

// Finds /Sito= and /Slave anywhere in the line (case-sensitive); nothing else
// on the line is examined. The site code is the four characters after "=",
// cut before the first "/" and shorter when the line ends earlier.
CommandLine ParseCommandLine(std::string_view line);

// The POSIX program's arguments: its own options, with everything else joined
// into a command line as the Windows program receives it.
struct PosixArguments {
  std::string dir;  // --dir: the program directory; empty = the executable's
  bool check = false;
  bool help = false;
  bool version = false;
  bool ctl = false;               // "ctl COMMAND ...": talk to a running instance
  std::vector<std::string> ctlArgs;
  CommandLine commandLine;
  std::string error;  // a usage error to print; the rest is then not meaningful
};

PosixArguments ParsePosixArguments(const std::vector<std::string>& args);

}  // namespace vr
