#include "app/recorder_posix.h"

#include <atomic>
#include <csignal>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "acquisition/site_worker.h"
#include "acquisition/worker_mailbox.h"
#include "app/configuration.h"
#include "app/control_commands_posix.h"
#include "app/instance_lock_posix.h"
#include "app/main_loop_posix.h"
#include "app/reporters.h"
#include "app/service_log_posix.h"
#include "app/signal_pipe_posix.h"
#include "base/clock.h"
#include "base/flags.h"
#include "base/path.h"
#include "base/wake_signal.h"
#include "config/reporter.h"
#include "line/open_line.h"
#include "log/error_log.h"
#include "log/strings.h"
#include "storage/file_system.h"
#include "ui/console_posix.h"
#include "ui/control_socket_posix.h"

namespace vr {
namespace {

// A second start for a port: what the running instance says about itself.
void ShowRunningInstance(const std::string& socketPath, const std::string& port,
                         RecorderConsole& console) {
  console.err << "vesprec: an instance already serves " << port << "\n";
  std::string answer;
  std::vector<std::string> lines;
  std::string message;
  if (AskInstance(socketPath, "status", answer) == AskResult::kAnswered &&
      ParseAnswer(answer, lines, message)) {
    for (const std::string& line : lines) console.out << line << '\n';
    console.out.flush();
  } else {
    console.err << "vesprec: it does not answer on " << socketPath << "\n";
  }
}

}  // namespace

void ReactToSignal(int signalNumber, const ServiceLog& serviceLog, WorkerMailbox& mailbox,
                   const std::function<void()>& quit) {
  serviceLog.Log(service_log::kHandlerPrefix + SignalLogName(signalNumber));
  if (signalNumber == SIGHUP) {
    mailbox.Post(WorkerRequest::kReload);
  } else if (signalNumber == SIGTERM || signalNumber == SIGINT) {
    quit();
  }
}

int RunRecorder(const std::string& programDir, const CommandLine& commandLine,
                RecorderConsole console) {
  SystemClock clock;
  ProcessFlags flags;

  // First, as the Windows program's control handler is in place before its
  // start-up code runs.
  SignalPipe signals;
  const ServiceLog serviceLog(JoinPath(programDir, kServiceLogName), clock);
  serviceLog.Log(signals.Installed() ? service_log::kInstalled : service_log::kNotInstalled);

  Configuration config;
  Profile profile(JoinPath(programDir, kConfigFileName));
  {
    LogReporter reporter(config.general, clock);
    if (!LoadConfiguration(profile, config, reporter, clock)) {
      console.err << "vesprec: " << MessageText(msg::kConfigUnusable) << "\n"
                  << "vesprec: run 'vesprec --check --dir " << programDir << "' to see why.\n";
      return kExitCannotRun;
    }
  }
  const std::string port = config.general.com;
  ErrorLog(clock, config.general.log).WriteMessage(msg::kStarting);
  auto closingLine = [&] { ErrorLog(clock, config.general.log).WriteMessage(msg::kClosing); };

  std::string runtimeDir;
  std::string error;
  InstanceLock lock;
  if (!FindRuntimeDirectory(true, runtimeDir, error)) {
    console.err << "vesprec: no runtime directory: " << error << "\n";
    closingLine();
    return kExitCannotRun;
  }
  switch (lock.Acquire(InstanceLockPath(runtimeDir, port), error)) {
    case InstanceLock::Result::kAcquired:
      break;
    case InstanceLock::Result::kHeld:
      ShowRunningInstance(ControlSocketPath(runtimeDir, port), port, console);
      closingLine();
      return kExitAlreadyRunning;
    case InstanceLock::Result::kFailed:
      console.err << "vesprec: no instance guard: " << error << "\n";
      closingLine();
      return kExitCannotRun;
  }
  flags.ClearWarnings();

  StatusBoard status;
  SystemWakeSignal mailboxWake;  // requests queued for the worker
  WorkerMailbox mailbox(mailboxWake);
  // The wait event (`ctl wake`): wakes an idle worker, never a connection.
  SystemWakeSignal waitEvent;
  NativeFileSystem files;
  std::mutex configMutex;  // the worker reloads the configuration; ctl reads the sites menu
  std::optional<SiteWorker> worker;

  auto quit = [&] {
    mailbox.Post(WorkerRequest::kStopConnection);
    flags.quit = true;
  };
  ConsoleSources sources;
  sources.currentSite = [&] { return status.Get().site; };
  sources.lineCount = [&] { return status.Get().lines; };
  // Read through the status board: the worker rewrites its settings at every
  // connection start, on its own thread.
  sources.spaceThresholdMb = [&] { return status.Get().spaceThresholdMb; };
  sources.quit = quit;
  ConsoleFrontEnd frontEnd(config.general.windowTitle, config.general.log,
                           {console.out, console.err, console.titleToTerminal}, flags, clock,
                           std::move(sources));

  ControlServer server;
  if (!server.Listen(ControlSocketPath(runtimeDir, port), error))
    console.err << "vesprec: no control socket, 'vesprec ctl' will not reach this run: " << error
                << "\n";

  WorkerEnvironment env{
      .sites = config.sites,
      .menu = config.menu,
      .profile = profile,
      .programDir = programDir,
      .portName = port,
      .siteCode = commandLine.siteCode,
      .slave = commandLine.slave,
      .flags = flags,
      .notifier = frontEnd,
      .display = frontEnd,
      .clock = clock,
      .mailbox = mailbox,
      .files = files,
      .openLine = OpenSystemLine,
      .reloadConfiguration =
          [&] {
            std::lock_guard guard(configMutex);
            NotifierReporter reporter(frontEnd);
            LoadConfiguration(profile, config, reporter, clock, &flags);
            frontEnd.SetLogPath(config.general.log);
          },
      .status = &status,
      .waitEvent = &waitEvent,
  };
  worker.emplace(env);

  std::atomic<bool> workerEnded{false};
  SystemWakeSignal workerEndedSignal;
  std::thread workerThread = StartThreadWithoutSignals([&] {
    worker->Run();
    workerEnded = true;
    workerEndedSignal.Signal();
  });

  ControlContext control{
      .port = port,
      .flags = flags,
      .mailbox = mailbox,
      .waitEvent = waitEvent,
      .status = status,
      .frontEnd = frontEnd,
      .findSiteItem = [&](std::string_view site) -> std::optional<SiteMenuItem> {
        std::lock_guard guard(configMutex);
        for (const SitesMenuItem& item : config.menu)
          if (item.text == site)
            return SiteMenuItem{static_cast<std::uint32_t>(item.id), item.grayed};
        return std::nullopt;
      },
      .quit = quit,
  };
  MainLoopParts parts{
      .frontEnd = frontEnd,
      .server = server.Listening() ? &server : nullptr,
      .signals = signals.Installed() ? &signals : nullptr,
      .answer = [&](std::string_view request) { return AnswerControlRequest(control, request); },
      .onSignal = [&](int signalNumber) { ReactToSignal(signalNumber, serviceLog, mailbox, quit); },
  };
  RunMainLoop(parts, [&] { return flags.quit.load(); });

  // The worker sends its closing reports and waits for each to be handled,
  // so the loop goes on (and still answers `ctl`) until the thread ends.
  flags.closing = true;
  flags.stop = true;
  mailbox.Post(WorkerRequest::kClose);
  RunMainLoop(
      parts, [&] { return workerEnded.load(); },
      static_cast<int>(workerEndedSignal.NativeHandle()));
  workerThread.join();
  frontEnd.Drain();
  frontEnd.Close();
  worker.reset();
  closingLine();
  return kExitStopped;
}

}  // namespace vr
