// VESPREC.EXE: the recorder's Windows program.

#include <windows.h>

#include "app/command_line.h"
#include "app/recorder.h"
#include "app/recorder_win32.h"
#include "app/service_setup.h"
#include "app/service_win32.h"
#include "base/path.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
  const std::string_view line = commandLine ? commandLine : "";
  const std::string dir = vr::ExecutableDirectory();
  switch (vr::ServiceOptionOf(line)) {
    case vr::ServiceOption::kInstall:
      return vr::InstallService(dir);
    case vr::ServiceOption::kUninstall:
      return vr::UninstallService(dir);
    case vr::ServiceOption::kRun:
      return vr::RunService(instance, dir);
    case vr::ServiceOption::kStatus:
    case vr::ServiceOption::kControl:
      return vr::AskRunningInstance(dir, line, vr::ServiceOptionOf(line));
    case vr::ServiceOption::kNone:
      break;
  }
  const vr::CommandLine options = vr::ParseCommandLine(line);
  vr::Win32Platform platform(instance, showCommand);
  return vr::RunRecorder(dir, options, platform);
}
