// vesprec: the recorder's POSIX program.

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/check.h"
#include "app/command_line.h"
#include "app/configuration.h"
#include "app/reporters.h"
#include "base/clock.h"
#include "base/path.h"
#include "log/strings.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  vesprec [--dir DIR] [/Sito=CODE] [/Slave]\n"
    "      Run the recorder for the port named in DIR/VESPREC.INI.\n"
    "  vesprec --check [--dir DIR]\n"
    "      Read DIR/VESPREC.INI as a start-up would and list every problem,\n"
    "      then each usable site's next due time. Exit status 0 when all is well.\n"
    "  vesprec --help | --version\n"
    "\n"
    "Options:\n"
    "  --dir DIR     program directory (configuration, overflow files, service log);\n"
    "                default: the directory of the executable\n"
    "  /Sito=CODE    serve only the site CODE (up to 4 characters), at once\n"
    "  /Slave        slave mode\n";

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const vr::PosixArguments parsed = vr::ParsePosixArguments(args);
  if (!parsed.error.empty()) {
    std::cerr << "vesprec: " << parsed.error << "\n\n" << kUsage;
    return 2;
  }
  if (parsed.help) {
    std::cout << "Vesper Recorder: collects the call records of telephone exchanges.\n\n"
              << kUsage;
    return 0;
  }
  if (parsed.version) {
    std::cout << "vesprec (Vesper Recorder) " << VR_VERSION << '\n';
    return 0;
  }

  const std::string dir = parsed.dir.empty() ? vr::ExecutableDirectory() : parsed.dir;
  vr::SystemClock clock;
  if (parsed.check) return vr::RunConfigurationCheck(dir, std::cout, std::cerr, clock);
  if (parsed.ctl) {
    std::cerr << "vesprec: ctl: no control channel in this version\n";
    return 1;
  }

  vr::Configuration config;
  vr::LogReporter reporter(config.general, clock);
  const vr::Profile profile(vr::JoinPath(dir, vr::kConfigFileName));
  if (!vr::LoadConfiguration(profile, config, reporter, clock)) {
    std::cerr << "vesprec: " << vr::MessageText(vr::msg::kConfigUnusable) << "\n"
              << "vesprec: run 'vesprec --check --dir " << dir << "' to see why.\n";
    return 1;
  }
  std::cerr << "vesprec: the configuration is usable; this version does not receive yet.\n";
  return 2;
}
