#include "app/control_client_posix.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

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

bool IsFolder(const char* path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
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
    err << "vesprec: ctl needs a command: status [--json], start SITE, stop, reload, config, wake, ack, "
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
  const bool portNamed = !IsMissing(port);
  std::string runtimeDir;
  std::string error;
  std::vector<std::string> runtimeDirs;
  if (FindRuntimeDirectory(false, runtimeDir, error)) runtimeDirs.push_back(runtimeDir);
  if (runtimeDir != kServiceRuntimeDir && IsFolder(kServiceRuntimeDir))
    runtimeDirs.push_back(kServiceRuntimeDir);

  // The instance that serves this folder first, whatever port the file names
  // now (Com may have been edited while it runs); then the port's.
  std::error_code ec;
  const std::string folder = std::filesystem::weakly_canonical(programDir, ec).string();
  std::vector<std::string> candidates;
  for (const std::string& dir : runtimeDirs)
    candidates.push_back(FolderLinkPath(dir, ec ? programDir : folder));
  if (portNamed)
    for (const std::string& dir : runtimeDirs) candidates.push_back(ControlSocketPath(dir, port));

  std::string socketPath;
  std::string answer;
  for (const std::string& candidate : candidates) {
    if (AskInstance(candidate, "status", answer) == AskResult::kNoInstance) continue;
    socketPath = candidate;
    break;
  }
  const std::string served = portNamed ? port : programDir;
  if (socketPath.empty()) {
    if (!portNamed) {
      err << "vesprec: ctl: " << profile.Path() << " names no port (Com)\n";
    } else if (runtimeDirs.empty()) {
      err << "vesprec: no instance serves " << port << " (" << error << ")\n";
    } else {
      err << "vesprec: no instance serves " << port << "\n";
    }
    if (args.front() == "config")
      err << "vesprec: run " << kConfigProgramName << " to edit the configuration\n";
    return kCtlNoInstance;
  }

  if (args.front() == "config") {
    if (args.size() > 1) {
      err << "vesprec: ctl: config takes no argument\n";
      return kCtlRefused;
    }
    RunConfigurationProgram(programDir, err);
    request = "reload";
  }

  switch (AskInstance(socketPath, request, answer)) {
    case AskResult::kNoInstance:
      err << "vesprec: no instance serves " << served << "\n";
      return kCtlNoInstance;
    case AskResult::kNoAnswer:
      err << "vesprec: the instance for " << served << " did not answer\n";
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
