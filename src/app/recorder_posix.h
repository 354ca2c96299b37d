#pragma once
// The POSIX program's side of a run: start-up problems on standard error,
// the instance lock in the runtime directory, the console front end with
// the control socket and the signals, and the worker thread started with
// the signals blocked.

#include <functional>
#include <ostream>
#include <string>

#include "acquisition/worker_mailbox.h"
#include "app/command_line.h"
#include "app/service_log.h"

namespace vr {

// Exit statuses of a run.
inline constexpr int kExitStopped = 0;         // stopped in order (signal, `ctl quit`)
inline constexpr int kExitCannotRun = 1;       // configuration unusable, no runtime directory
inline constexpr int kExitAlreadyRunning = 3;  // another instance serves the port

struct RecorderConsole {
  std::ostream& out;             // received text
  std::ostream& err;             // warnings and start-up problems
  bool titleToTerminal = false;  // out is a terminal
};

// A signal that reached the main loop: noted in the service log; SIGHUP has
// the worker read the configuration again, SIGTERM and SIGINT stop the
// program in order (quit).
void ReactToSignal(int signalNumber, const ServiceLog& serviceLog, WorkerMailbox& mailbox,
                   const std::function<void()>& quit);

// The whole run of vesprec; the exit status.
int RunPosixRecorder(const std::string& programDir, const CommandLine& commandLine,
                     RecorderConsole console);

}  // namespace vr
