#include "app/foreground_child_posix.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace vr {

int RunInForeground(const std::string& path, std::vector<std::string> args, int* spawnError) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction oldInt {};
  struct sigaction oldQuit {};
  ::sigaction(SIGINT, &ignore, &oldInt);
  ::sigaction(SIGQUIT, &ignore, &oldQuit);

  // The child gets the default handling back.
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
  const int spawned = ::posix_spawn(&child, path.c_str(), nullptr, &attributes, argv.data(), environ);
  if (spawned == 0) {
    int waitStatus = 0;
    while (::waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    result = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128;
  } else if (spawnError) {
    *spawnError = spawned;
  }
  posix_spawnattr_destroy(&attributes);
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGQUIT, &oldQuit, nullptr);
  return result;
}

}  // namespace vr
