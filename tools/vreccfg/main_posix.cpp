// vreccfg: the configuration program of the POSIX recorder. Opens
// VESPREC.INI in the user's editor, waits for it, then reads the file with
// the recorder's own readers and lists every problem with its own messages.
// `vesprec ctl config` runs it and then has the recorder reload.

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/check.h"
#include "base/clock.h"
#include "base/path.h"
#include "config/settings.h"

extern char** environ;

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
  std::string shell = "/bin/sh";
  std::string dashC = "-c";
  std::string script = editor + " \"$@\"";
  std::string name = editor;
  std::string path = file;
  char* argv[] = {shell.data(), dashC.data(), script.data(), name.data(), path.data(), nullptr};

  // The editor owns Ctrl+C while it runs.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction oldInt {};
  struct sigaction oldQuit {};
  ::sigaction(SIGINT, &ignore, &oldInt);
  ::sigaction(SIGQUIT, &ignore, &oldQuit);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  pid_t child = -1;
  int result = -1;
  if (::posix_spawn(&child, shell.c_str(), nullptr, &attributes, argv, environ) == 0) {
    int waitStatus = 0;
    while (::waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    result = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128;
  }
  posix_spawnattr_destroy(&attributes);
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGQUIT, &oldQuit, nullptr);
  return result;
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
