#include "app/control_client_posix.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "app/foreground_child_posix.h"
#include "base/path.h"
#include "config/general_settings.h"
#include "config/profile.h"
#include "config/settings.h"
#include "ui/control_socket_posix.h"

namespace vr {
namespace {

// Runs the configuration program in this terminal and waits for it. While
// it runs, Ctrl+C belongs to it (as with system()).
void RunConfigurationProgram(const std::string& programDir, std::ostream& err) {
  const std::string program = FindConfigurationProgram(programDir);
  if (program.empty()) {
    err << "vesprec: ctl: no " << kConfigProgramName << " in " << programDir << " or in "
        << ExecutableDirectory() << "\n";
    return;
  }
  int spawnError = 0;
  if (RunInForeground(program, {kConfigProgramName, "--dir", programDir}, &spawnError) < 0)
    err << "vesprec: ctl: " << program << ": " << std::strerror(spawnError) << "\n";
}

}  // namespace

std::string FindConfigurationProgram(const std::string& programDir) {
  for (const std::string& dir : {programDir, ExecutableDirectory()}) {
    const std::string path = JoinPath(dir, kConfigProgramName);
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

int RunControlClient(const std::string& programDir, const std::vector<std::string>& args,
                     std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << "vesprec: ctl needs a command: status, start SITE, stop, reload, config, wake, ack, "
           "quit\n";
    return kCtlRefused;
  }
  std::string request;
  for (const std::string& arg : args) {
    if (arg.find_first_of("\r\n") != std::string::npos) {
      err << "vesprec: ctl: a command is one line\n";
      return kCtlRefused;
    }
    if (!request.empty()) request += ' ';
    request += arg;
  }

  const Profile profile(JoinPath(programDir, kConfigFileName));
  const std::string port = profile.ReadString("General", "Com", kMissingText);
  if (IsMissing(port)) {
    err << "vesprec: ctl: " << profile.Path() << " names no port (Com)\n";
    return kCtlNoInstance;
  }
  std::string runtimeDir;
  std::string error;
  if (!FindRuntimeDirectory(false, runtimeDir, error)) {
    err << "vesprec: no instance serves " << port << " (" << error << ")\n";
    return kCtlNoInstance;
  }
  const std::string socketPath = ControlSocketPath(runtimeDir, port);

  std::string answer;
  if (args.front() == "config") {
    if (args.size() > 1) {
      err << "vesprec: ctl: config takes no argument\n";
      return kCtlRefused;
    }
    // Only an instance that runs can reload; without one, vreccfg alone is the tool.
    if (AskInstance(socketPath, "status", answer) != AskResult::kAnswered) {
      err << "vesprec: no instance serves " << port << "; run " << kConfigProgramName
          << " to edit the configuration\n";
      return kCtlNoInstance;
    }
    RunConfigurationProgram(programDir, err);
    request = "reload";
  }

  switch (AskInstance(socketPath, request, answer)) {
    case AskResult::kNoInstance:
      err << "vesprec: no instance serves " << port << "\n";
      return kCtlNoInstance;
    case AskResult::kNoAnswer:
      err << "vesprec: the instance for " << port << " did not answer\n";
      return kCtlNoInstance;
    case AskResult::kAnswered:
      break;
  }
  std::vector<std::string> lines;
  std::string message;
  const bool ok = ParseAnswer(answer, lines, message);
  for (const std::string& line : lines) out << line << '\n';
  out.flush();
  if (!ok) {
    err << "vesprec: ctl: " << message << "\n";
    return kCtlRefused;
  }
  return kCtlAnswered;
}

}  // namespace vr
