// VESPREC.EXE: the recorder's Windows program.

#include <windows.h>

#include "app/command_line.h"
#include "app/recorder.h"
#include "app/recorder_win32.h"
#include "base/path.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
  const vr::CommandLine options = vr::ParseCommandLine(commandLine ? commandLine : "");
  vr::Win32Platform platform(instance, showCommand);
  return vr::RunRecorder(vr::ExecutableDirectory(), options, platform);
}
