// vesprec: the recorder's POSIX program.

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/check.h"
#include "app/command_line.h"
#include "app/control_client_posix.h"
#include "app/recorder_posix.h"
#include "base/clock.h"
#include "base/path.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  vesprec [--dir DIR] [/Sito=CODE] [/Slave]\n"
    "      Run the recorder in the foreground for the port named in DIR/VESPREC.INI.\n"
    "      Received text goes to standard output, warnings to standard error.\n"
    "      SIGTERM, SIGINT: stop in order; SIGHUP: read the configuration again.\n"
    "      Exit status: 0 stopped in order, 1 cannot run (see standard error),\n"
    "      3 another instance already serves the port (its status is printed).\n"
    "  vesprec ctl [--dir DIR] COMMAND\n"
    "      Ask the instance that serves DIR's port:\n"
    "        status       port, pid, site, state, lines, icon, title, warnings\n"
    "        status --json  the same and each site's records and files, as JSON\n"
    "        start SITE   start SITE now (as chosen in the sites menu)\n"
    "        stop         end the running connection (Interrompi)\n"
    "        reload       read the configuration again\n"
    "        config       edit the configuration with vreccfg, then reload\n"
    "        wake         wake an idle worker (the wait event)\n"
    "        ack          clear the pending warnings\n"
    "        quit         stop in order and end (Esci)\n"
    "      Exit status: 0 answered, 1 no instance runs for the port,\n"
    "      2 usage error or command refused.\n"
    "  vesprec --check [--dir DIR]\n"
    "      Read DIR/VESPREC.INI as a start-up would and list every problem,\n"
    "      then each usable site's next due time. Exit status 0 when all is well.\n"
    "  vesprec --help | --version\n"
    "\n"
    "Options:\n"
    "  --dir DIR     program directory (configuration, overflow files, service log);\n"
    "                default: the directory of the executable\n"
    "  /Sito=CODE    serve only the site CODE (up to 4 characters), at once\n"
    "  /Slave        slave mode\n"
    "\n"
    "The control socket and the instance lock lie in $XDG_RUNTIME_DIR, else\n"
    "/run/user/UID, else /tmp/vesprec-UID.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const vr::PosixArguments parsed = vr::ParsePosixArguments(args);
  if (!parsed.error.empty()) {
    std::cerr << "vesprec: " << parsed.error << "\n\n" << kUsage;
    return 2;
  }
  if (parsed.help) {
    std::cout << "Vesper Recorder: collects the call records of telephone exchanges.\n\n" << kUsage;
    return 0;
  }
  if (parsed.version) {
    std::cout << "vesprec (Vesper Recorder) " << VR_VERSION << '\n';
    return 0;
  }

  const std::string dir = parsed.dir.empty() ? vr::ExecutableDirectory() : parsed.dir;
  if (parsed.check) {
    vr::SystemClock clock;
    return vr::RunConfigurationCheck(dir, std::cout, std::cerr, clock);
  }
  if (parsed.ctl) return vr::RunControlClient(dir, parsed.ctlArgs, std::cout, std::cerr);
  return vr::RunPosixRecorder(dir, parsed.commandLine,
                         {std::cout, std::cerr, ::isatty(STDOUT_FILENO) == 1});
}
