#pragma once
// VESPREC.EXE as a service of the system: /Installa registers the port's
// service, /Disinstalla stops and removes it, /Servizio is the service
// manager's start of it; /Stato and /Ctl ask the running instance of the
// port, service or desktop, through its control pipe. Each returns the
// process's exit code.

#include <windows.h>

#include <string>
#include <string_view>

#include "app/service_setup.h"

namespace vr {

int InstallService(const std::string& programDir);
int UninstallService(const std::string& programDir);
// /Stato (option kStatus) or /Ctl REQUEST (kControl): the answer's lines
// told to the user (TellUser), or why there is none.
int AskRunningInstance(const std::string& programDir, std::string_view commandLine,
                       ServiceOption option);
// Runs the recorder under the service manager until it is stopped.
int RunService(HINSTANCE instance, const std::string& programDir);

// A report of the program run by hand: to its standard output when it has
// one (a console, a pipe or a file), otherwise in a box. error: a failure.
void TellUser(const std::string& text, bool error);

}  // namespace vr
