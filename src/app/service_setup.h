#pragma once
// What the Windows program says and names when it runs as a service of the
// system: one service per port (one instance serves one port), its names
// and command line, the options that install, remove and run it, and the
// reports of /Installa and /Disinstalla with their exit codes.

#include <string>
#include <string_view>

namespace vr {

enum class ServiceOption {
  kNone,
  kInstall,    // /Installa
  kUninstall,  // /Disinstalla
  kRun,        // /Servizio: started by the service manager
  kStatus,     // /Stato
};

// Found anywhere in the command line, case-sensitive, as the other options
// are; the first of the list above that is there counts.
ServiceOption ServiceOptionOf(std::string_view commandLine);

// "VesperRecorder_" and the port; a character that a service name cannot
// hold (a path separator, a blank, anything but letters, digits and
// "_-.:") becomes "_".
std::string ServiceName(std::string_view com);
// "Vesper Recorder " and the port.
std::string ServiceDisplayName(std::string_view com);
// The program in quotes (its folder may hold blanks) and /Servizio.
std::string ServiceCommandLine(std::string_view exePath);

enum class ServiceSetupResult {
  kInstalled,
  kRemoved,
  kExists,              // /Installa: the port has its service already
  kNotInstalled,        // /Disinstalla: there is nothing to remove
  kNoRights,            // the user may not change the services
  kStillRunning,        // /Disinstalla: it did not stop in time; it is removed when it does
  kFailed,              // any other refusal of the system (its text given)
  kNotFromTheManager,   // /Servizio run by hand
};

// The report, in the program's language; systemText is the system's
// description of the error for kFailed.
std::string ServiceSetupText(ServiceSetupResult result, std::string_view com,
                             std::string_view systemText = {});
// 0 for what was asked and done; non-zero otherwise.
int ServiceSetupExitCode(ServiceSetupResult result);

// Said in addition when the service is installed but the service manager
// did not take its recovery actions.
std::string NoRecoveryText(std::string_view systemText);

}  // namespace vr
