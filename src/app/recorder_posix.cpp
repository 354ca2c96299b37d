#include "app/recorder_posix.h"

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/control_commands_posix.h"
#include "app/instance_guard.h"
#include "app/main_loop_posix.h"
#include "app/recorder.h"
#include "app/signal_pipe_posix.h"
#include "base/clock.h"
#include "base/path.h"
#include "config/general_settings.h"
#include "log/strings.h"
#include "storage/file_system.h"
#include "ui/console_posix.h"
#include "ui/control_socket_posix.h"

namespace vr {
namespace {

// The console, the control socket and the signals, in one poll() loop.
class PosixFrontEnd final : public FrontEnd {
 public:
  PosixFrontEnd(RecorderRun& run, RecorderConsole console, const std::string& runtimeDir,
                SignalPipe& signals, const ServiceLog& serviceLog, LogWatch& logNotice)
      : run_(run),
        console_(run.config.general.windowTitle, run.config.general.log,
                 {.out = console.out,
                  .err = console.err,
                  .titleToTerminal = console.titleToTerminal,
                  .logWatch = &logNotice},
                 run.flags, run.clock, Sources(run)),
        consoleView_(console_),
        control_{
            .port = run.config.general.com,
            .pid = ::getpid(),
            .flags = run.flags,
            .mailbox = run.mailbox,
            .waitEvent = *run.waitEvent,
            .status = run.status,
            .frontEnd = consoleView_,
            .findSiteItem = [&run](std::string_view site) { return run.FindSiteItem(site); },
            .quit = [&run] { run.Quit(); },
            .portInFile = [&run] { return PortInFile(run.profile); },
            .siteFiles =
                [this] {
                  SitesMenu menu;
                  {
                    std::lock_guard guard(run_.configMutex);
                    menu = run_.config.menu;
                  }
                  // A Profile of its own: the worker writes through the run's.
                  return MeasureSiteFiles(Profile(run_.profile.Path()), menu, run_.programDir,
                                          files_);
                },
        },
        parts_{
            .frontEnd = console_,
            .server = Listen(runtimeDir, console.err) ? &server_ : nullptr,
            .signals = signals.Installed() ? &signals : nullptr,
            .answer = [this](std::string_view request) {
              return AnswerControlRequest(control_, request);
            },
            .onSignal =
                [this, &serviceLog](int signalNumber) {
                  ReactToSignal(signalNumber, serviceLog, run_.mailbox, [this] { run_.Quit(); });
                },
        } {}

  ~PosixFrontEnd() override {
    if (!folderLink_.empty()) UnlinkFolderFromSocket(folderLink_, socketPath_);
  }

  Notifier& Reports() override { return console_; }
  IconDisplay& Icons() override { return console_; }
  void ShowOwnerlessBox(const std::string& text) override { console_.ShowOwnerlessBox(text); }
  void SetLogPath(std::string path) override { console_.SetLogPath(std::move(path)); }
  void RunUntil(const std::function<bool()>& done, WakeSignal* wake) override {
    RunMainLoop(parts_, done, wake ? static_cast<int>(wake->NativeHandle()) : -1);
  }
  void Finish() override {
    console_.Drain();
    console_.Close();
  }

 private:
  bool Listen(const std::string& runtimeDir, std::ostream& err) {
    std::string error;
    socketPath_ = ControlSocketPath(runtimeDir, run_.config.general.com);
    // `ctl` finds the instance by its folder too: Com may be edited while it
    // runs. The link is made before the socket takes its name, so the name
    // says that the instance answers by both: whoever waits for it (a test, a
    // script that edits Com next) never finds the folder's name missing.
    std::error_code ec;
    const std::string folder = std::filesystem::weakly_canonical(run_.programDir, ec).string();
    const std::string link = FolderLinkPath(runtimeDir, ec ? run_.programDir : folder);
    std::string linkError;
    const auto makeLink = [&] {
      if (LinkFolderToSocket(link, socketPath_, linkError)) folderLink_ = link;
    };
    if (!server_.Listen(socketPath_, error, makeLink)) {
      if (!folderLink_.empty()) UnlinkFolderFromSocket(folderLink_, socketPath_);
      folderLink_.clear();
      err << "vesprec: no control socket, 'vesprec ctl' will not reach this run: " << error
          << "\n";
      return false;
    }
    if (folderLink_.empty())
      err << "vesprec: 'vesprec ctl' will find this run by its port only: " << linkError << "\n";
    return true;
  }

  static ConsoleSources Sources(RecorderRun& run) {
    ConsoleSources sources;
    sources.currentSite = [&run] { return run.status.Get().site; };
    sources.lineCount = [&run] { return run.status.Get().lines; };
    // Through the status board: the worker rewrites its settings at every
    // connection start, on its own thread.
    sources.spaceThresholdMb = [&run] { return run.status.Get().spaceThresholdMb; };
    sources.quit = [&run] { run.Quit(); };
    return sources;
  }

  RecorderRun& run_;
  NativeFileSystem files_;  // status measures the overflow and rescue files
  ConsoleFrontEnd console_;
  ConsoleControlView consoleView_;
  std::string socketPath_;
  std::string folderLink_;  // empty: none made
  ControlServer server_;
  ControlContext control_;
  MainLoopParts parts_;
};

class PosixPlatform final : public RecorderPlatform {
 public:
  PosixPlatform(const std::string& programDir, RecorderConsole console, const Clock& clock)
      : console_(console), serviceLog_(JoinPath(programDir, kServiceLogName), clock) {
    // First, as the Windows program's control handler is in place before
    // its start-up code runs.
    serviceLog_.Log(signals_.Installed() ? service_log::kInstalled : service_log::kNotInstalled);
  }

  int ConfigurationUnusable(RecorderRun& run) override {
    console_.err << "vesprec: " << MessageText(msg::kConfigUnusable) << "\n"
                 << "vesprec: run 'vesprec --check --dir " << run.programDir
                 << "' to see why.\n";
    return kExitCannotRun;
  }

  InstanceResult GuardInstance(RecorderRun& run, std::string& error) override {
    if (!FindRuntimeDirectory(true, runtimeDir_, error)) {
      error = "no runtime directory: " + error;
      return InstanceResult::kFailed;
    }
    switch (lock_.Acquire(InstanceLockPath(runtimeDir_, run.config.general.com), error)) {
      case InstanceGuard::Result::kAcquired:
        return InstanceResult::kAcquired;
      case InstanceGuard::Result::kHeld:
        return InstanceResult::kHeld;
      case InstanceGuard::Result::kFailed:
        error = "no instance guard: " + error;
        return InstanceResult::kFailed;
    }
    return InstanceResult::kFailed;
  }

  // A second start for a port: what the running instance says about itself.
  int OtherInstanceRuns(RecorderRun& run) override {
    const std::string& port = run.config.general.com;
    const std::string socketPath = ControlSocketPath(runtimeDir_, port);
    console_.err << "vesprec: an instance already serves " << port << "\n";
    std::string answer;
    std::vector<std::string> lines;
    std::string message;
    if (AskInstance(socketPath, "status", answer) == AskResult::kAnswered &&
        ParseAnswer(answer, lines, message)) {
      for (const std::string& line : lines) console_.out << line << '\n';
      console_.out.flush();
    } else {
      console_.err << "vesprec: it does not answer on " << socketPath << "\n";
    }
    return kExitAlreadyRunning;
  }

  int CannotGuard(RecorderRun&, const std::string& error) override {
    console_.err << "vesprec: " << error << "\n";
    return kExitCannotRun;
  }

  std::unique_ptr<WakeSignal> MakeWaitEvent(const std::string&) override {
    return std::make_unique<SystemWakeSignal>();
  }

  std::unique_ptr<FrontEnd> MakeFrontEnd(RecorderRun& run) override {
    return std::make_unique<PosixFrontEnd>(run, console_, runtimeDir_, signals_, serviceLog_,
                                           logNotice_);
  }

  std::thread StartWorkerThread(std::function<void()> body) override {
    return StartThreadWithoutSignals(std::move(body));
  }

  int StoppedInOrder() override { return kExitStopped; }
  LogWatch* StartupLogWatch() override { return &logNotice_; }

 private:
  RecorderConsole console_;
  // A log that cannot be written is said once on standard error, whoever
  // writes to it: without it every report would be lost without a word.
  LogFailureNotice logNotice_{console_.err, "vesprec"};
  SignalPipe signals_;
  const ServiceLog serviceLog_;
  std::string runtimeDir_;
  InstanceGuard lock_;
};

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

int RunPosixRecorder(const std::string& programDir, const CommandLine& commandLine,
                     RecorderConsole console) {
  SystemClock clock;
  PosixPlatform platform(programDir, console, clock);
  return RunRecorder(programDir, commandLine, platform);
}

}  // namespace vr
