#pragma once
// The Windows program's console control handler and its service log,
// CorvinaServiceNT.log beside the executable. One static object installs
// the handler before WinMain runs; every control event is logged, and a
// log-off or a shutdown has the main window run the orderly stop to its end
// (within a bound) before the handler returns, since the system may end the
// process as soon as it has.

#include <windows.h>

#include <string>
#include <string_view>

#include "app/service_log.h"

namespace vr {

namespace control_events {
inline constexpr const char* kNotNt =
    "CCorvinaServiceNT::CCorvinaServiceNT . Non è Windows NT. LogOffCtrlHandler non impostato";
inline constexpr const char* kInstalled =
    "CCorvinaServiceNT::CCorvinaServiceNT SetConsoleCtrlHandler Partito";
inline constexpr const char* kNotInstalled =
    "CCorvinaServiceNT::CCorvinaServiceNT Impossibile impostare il control handler per il "
    "logoff.\nNon arriveranno i messaggi della chiusura do windows.";
}  // namespace control_events

// What GetVersionEx answered, if it did.
struct PlatformVersion {
  bool known = false;
  DWORD platformId = 0;
  DWORD major = 0;
  DWORD minor = 0;
};

// Only Windows 95, 98 and Me lack console control events; every other
// answer counts as the NT family, an unknown one does not.
bool IsWindowsNt(const PlatformVersion& version);

// The system's answer, extended structure first.
PlatformVersion QueryPlatformVersion();

// How the handler treats a control type.
struct ControlEventReaction {
  const char* message;  // logged
  BOOL handled;         // TRUE: the event ends here (unless the stop ran, below)
  bool stopToEnd;       // the main window runs the orderly stop to its end
};
ControlEventReaction ReactionTo(DWORD controlType);

class CCorvinaServiceNT {
 public:
  CCorvinaServiceNT();
  virtual ~CCorvinaServiceNT();
  CCorvinaServiceNT(const CCorvinaServiceNT&) = delete;
  CCorvinaServiceNT& operator=(const CCorvinaServiceNT&) = delete;

  void Log(std::string_view message) const;
  const std::string& LogPath() const { return path_; }
  bool WindowsNt() const { return windowsNt_; }

  // Windows calls it on a thread of its own. A log-off or shutdown returns
  // TRUE once the orderly stop has ended (the program then ends by itself),
  // and the table's answer when it could not be run or did not end in time.
  static BOOL WINAPI LogOffCtrlHandler(DWORD controlType);
  // The window that a shutdown is passed on to once it exists; nullptr
  // when there is none (a shutdown is then only logged).
  static void SetMainWindow(HWND window);
  // Run as a service: a log-off is some user's, not the program's end.
  static void SetServiceMode(bool service);
  // The process's one object.
  static const CCorvinaServiceNT& Instance();

 private:
  bool loggingEnabled_ = true;
  std::string path_;
  bool windowsNt_ = false;
};

}  // namespace vr
