// VESPREC.EXE: the recorder's Windows program.

#include <windows.h>

#include <string>

#include "app/command_line.h"
#include "app/configuration.h"
#include "app/reporters.h"
#include "base/clock.h"
#include "base/path.h"
#include "log/strings.h"

namespace {

std::wstring Wide(std::string_view utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  const vr::CommandLine options = vr::ParseCommandLine(commandLine ? commandLine : "");
  (void)options;
  const std::string dir = vr::ExecutableDirectory();
  vr::SystemClock clock;
  vr::Configuration config;
  vr::LogReporter reporter(config.general, clock);
  const vr::Profile profile(vr::JoinPath(dir, vr::kConfigFileName));
  if (!vr::LoadConfiguration(profile, config, reporter, clock)) {
    const std::string& title = config.general.windowTitle;
    MessageBoxW(nullptr, Wide(vr::MessageText(vr::msg::kConfigUnusable)).c_str(),
                Wide(title).c_str(), MB_OK | MB_ICONHAND);
    return 0;
  }
  return 0;
}
