// vreccfg: the configuration program of the POSIX recorder. Opens
// VESPREC.INI in the user's editor, waits for it, then reads the file with
// the recorder's own readers and lists every problem with its own messages.
// `vesprec ctl config` runs it and then has the recorder reload.

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/check.h"
#include "app/foreground_child_posix.h"
#include "base/clock.h"
#include "base/path.h"
#include "config/settings.h"

namespace {

constexpr const char* kUsage =
    "Usage: vreccfg [--dir DIR]\n"
    "  Edit DIR/VESPREC.INI with $VISUAL, $EDITOR or vi, then check it.\n"
    "  DIR defaults to the directory of the executable.\n"
    "  Exit status: 0 the configuration is usable, 1 it has problems,\n"
    "  2 the editor could not be run.\n";

// The editor's exit status, or -1 when it could not be started.
int RunEditor(const std::string& editor, const std::string& file) {
  // Through the shell, so an editor given with options ("emacs -nw") works.
  return vr::RunInForeground("/bin/sh", {"/bin/sh", "-c", editor + " \"$@\"", editor, file},
                             nullptr);
}

std::string ChooseEditor() {
  for (const char* name : {"VISUAL", "EDITOR"}) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return "vi";
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg.rfind("--dir=", 0) == 0) {
      dir = arg.substr(6);
    } else {
      std::cerr << "vreccfg: unexpected argument " << arg << "\n\n" << kUsage;
      return 2;
    }
  }
  if (dir.empty()) dir = vr::ExecutableDirectory();

  const std::string file = vr::JoinPath(dir, vr::kConfigFileName);
  const std::string editor = ChooseEditor();
  const int edited = RunEditor(editor, file);
  // 127: the shell found no such editor.
  if (edited < 0 || edited == 127) {
    std::cerr << "vreccfg: could not run the editor '" << editor << "' (set VISUAL or EDITOR)\n";
    return 2;
  }

  std::cout << "Checking " << file << "\n";
  vr::SystemClock clock;
  const int status = vr::RunConfigurationCheck(dir, std::cout, std::cerr, clock);
  if (status == 0) std::cout << "vreccfg: the configuration is usable.\n";
  return status;
}
