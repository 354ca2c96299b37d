// The Windows program's service log and console control handler.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "app/control_events_win32.h"
#include "app/recorder.h"
#include "app/service_log.h"
#include "base/path.h"
#include "base/wide_text_win32.h"
#include "log/error_log.h"
#include "ui/main_window_win32.h"

namespace vr {

// Opened in text mode for each line, as the log has always been written:
// a line feed reaches the file as CR LF.
void ServiceLog::Log(std::string_view message) const {
  const std::string line =
      FormatServiceLogLine(static_cast<long>(GetCurrentProcessId()),
                           FromSeconds(clock_.Now().seconds), ToLogCharset(message));
  std::FILE* file = _wfopen(WideFromUtf8(path_).c_str(), L"a+");
  if (!file) return;
  std::fputs(line.c_str(), file);
  std::fclose(file);
}

bool IsWindowsNt(const PlatformVersion& version) {
  if (!version.known) return false;
  const bool windows9x = version.platformId == VER_PLATFORM_WIN32_WINDOWS && version.major == 4 &&
                         (version.minor == 0 || version.minor == 10 || version.minor == 90);
  return !windows9x;
}

PlatformVersion QueryPlatformVersion() {
  PlatformVersion version;
  OSVERSIONINFOEXW extended{};
  extended.dwOSVersionInfoSize = sizeof extended;
  BOOL answered = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended));
  if (!answered) {
    extended.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    answered = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended));
  }
  if (!answered) return version;
  version.known = true;
  version.platformId = extended.dwPlatformId;
  version.major = extended.dwMajorVersion;
  version.minor = extended.dwMinorVersion;
  return version;
}

ControlEventReaction ReactionTo(DWORD controlType) {
  switch (controlType) {
    case CTRL_C_EVENT:
      // Handled: Ctrl+C does not end the recorder.
      return {"CCorvinaServiceNT LogOffCtrlHandler CTRL_C_EVENT", TRUE, false};
    case CTRL_BREAK_EVENT:
      return {"CCorvinaServiceNT LogOffCtrlHandler CTRL_BREAK_EVENT", FALSE, false};
    case CTRL_CLOSE_EVENT:
      return {"CCorvinaServiceNT LogOffCtrlHandler CTRL_CLOSE_EVENT", FALSE, false};
    case CTRL_LOGOFF_EVENT:
      return {"CCorvinaServiceNT LogOffCtrlHandler CTRL_LOGOFF_EVENT", FALSE, true};
    case CTRL_SHUTDOWN_EVENT:
      return {"CCorvinaServiceNT LogOffCtrlHandler CTRL_SHUTDOWN_EVENT", FALSE, true};
    default:
      return {"CCorvinaServiceNT LogOffCtrlHandler default", FALSE, false};
  }
}

namespace {

// Stateless, so it is ready whatever the order of static construction.
const SystemClock serviceClock;

// The main window learns its handle only after the handler is installed;
// the handler runs on a thread of its own.
std::atomic<HWND> shutdownWindow{nullptr};
std::atomic<bool> serviceMode{false};

}  // namespace

CCorvinaServiceNT::CCorvinaServiceNT()
    : path_(JoinPath(ExecutableDirectory(), kServiceLogName)),
      windowsNt_(IsWindowsNt(QueryPlatformVersion())) {
  if (!windowsNt_) {
    Log(control_events::kNotNt);
    return;
  }
  Log(SetConsoleCtrlHandler(LogOffCtrlHandler, TRUE) ? control_events::kInstalled
                                                     : control_events::kNotInstalled);
}

// The handler stays installed: the object ends only with the process.
CCorvinaServiceNT::~CCorvinaServiceNT() = default;

void CCorvinaServiceNT::Log(std::string_view message) const {
  if (loggingEnabled_) ServiceLog(path_, serviceClock).Log(message);
}

namespace {

// The one object, constructed during static initialisation, before
// WinMain, so that the handler is in place before any window exists.
// recorder_win32.cpp names SetMainWindow, which keeps this file (and so the
// object) in the program.
const CCorvinaServiceNT theService;

}  // namespace

const CCorvinaServiceNT& CCorvinaServiceNT::Instance() { return theService; }

void CCorvinaServiceNT::SetMainWindow(HWND window) { shutdownWindow = window; }

void CCorvinaServiceNT::SetServiceMode(bool service) { serviceMode = service; }

BOOL WINAPI CCorvinaServiceNT::LogOffCtrlHandler(DWORD controlType) {
  const ControlEventReaction reaction = ReactionTo(controlType);
  theService.Log(reaction.message);
  // Handled: the default handler would end the service with the user.
  if (controlType == CTRL_LOGOFF_EVENT && serviceMode) return TRUE;
  if (reaction.stopToEnd) {
    if (const HWND window = shutdownWindow.load()) {
      // The stop has a bound of its own; this one only keeps a hung main
      // thread from holding the system's shutdown.
      const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(
          kStopToEndBound + std::chrono::seconds(5));
      DWORD_PTR answer = 0;
      if (SendMessageTimeoutW(window, kStopToEndMessage, 0, 0, SMTO_NORMAL,
                              static_cast<UINT>(limit.count()), &answer) &&
          answer == 1)
        return TRUE;
    }
  }
  return reaction.handled;
}

}  // namespace vr
