#pragma once
// What the Windows program says and names when it runs as a service of the
// system: one service per port (one instance serves one port), its names
// and command line, the options that install, remove and run it, and the
// reports of /Installa and /Disinstalla with their exit codes; and the
// control pipe that /Stato and /Ctl ask the running instance through.

#include <string>
#include <string_view>

namespace vr {

enum class ServiceOption {
  kNone,
  kControl,    // /Ctl REQUEST: a control request to the running instance
  kInstall,    // /Installa
  kUninstall,  // /Disinstalla
  kRun,        // /Servizio: started by the service manager
  kStatus,     // /Stato
};

// Found anywhere in the command line, case-sensitive, as the other options
// are; the first of the list above that is there counts (so the request
// after /Ctl may hold any text).
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

// The instance's control pipe: "\\.\pipe\" and the service name, the same
// for a desktop instance and the service, so /Stato finds either.
std::string ControlPipeName(std::string_view com);

// The request line that /Stato ("status --json") or /Ctl (the text after
// it, blanks around it and double quotes dropped: /Ctl start "A B" asks for
// site A B) sends; empty when there is none to send.
std::string ControlRequestOf(std::string_view commandLine, ServiceOption option);

enum class ControlClientResult {
  kAnswered,    // "ok": its lines are printed
  kRefused,     // "error TEXT" from the instance
  kNoInstance,  // nothing serves the port's pipe
  kNoAnswer,    // connected, but no whole answer in time
  kDenied,      // the pipe is for administrators and the service's account
  kUsage,       // /Ctl without a request
};

// What /Stato and /Ctl say when they have no answer to print; message is
// the instance's refusal for kRefused.
std::string ControlClientText(ControlClientResult result, std::string_view com,
                              std::string_view message = {});
// 0 answered, 1 no instance or no answer, 2 refused or a usage error, 5
// access denied.
int ControlClientExitCode(ControlClientResult result);

// Said in addition when the service is installed but the service manager
// did not take its recovery actions.
std::string NoRecoveryText(std::string_view systemText);

}  // namespace vr
