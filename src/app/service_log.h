#pragma once
// The service log, CorvinaServiceNT.log in the program directory: one line
// for the installation of the handler of the system's stop requests (POSIX
// signals, Windows console control events) and one for every request that
// reached it, "(pid) HH:MM:SS message". The file is opened for each line and
// closed at once; a line that cannot be written is lost. Log is written by
// the platform's twin (service_log_posix.cpp, service_log_win32.cpp).

#include <string>
#include <string_view>

#include "base/civil_time.h"
#include "base/clock.h"

namespace vr {

inline constexpr const char* kServiceLogName = "CorvinaServiceNT.log";

// The texts the POSIX program logs, in the manner of the Windows program's
// console control handler.
namespace service_log {
inline constexpr const char* kInstalled = "CCorvinaServiceNT::CCorvinaServiceNT sigaction Partito";
inline constexpr const char* kNotInstalled =
    "CCorvinaServiceNT::CCorvinaServiceNT Impossibile impostare il gestore dei segnali.\n"
    "Non arriveranno i segnali di chiusura.";
inline constexpr const char* kHandlerPrefix = "CCorvinaServiceNT LogOffCtrlHandler ";
}  // namespace service_log

// "(pid) HH:MM:SS message\n".
std::string FormatServiceLogLine(long pid, const CivilTime& when, std::string_view message);

// POSIX: "SIGTERM", "SIGINT", "SIGHUP"; "default" for any other signal.
std::string SignalLogName(int signalNumber);

class ServiceLog {
 public:
  ServiceLog(std::string path, const Clock& clock) : path_(std::move(path)), clock_(clock) {}
  void Log(std::string_view message) const;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  const Clock& clock_;
};

}  // namespace vr
