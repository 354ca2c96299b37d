#include "app/recorder.h"

#include <atomic>
#include <condition_variable>
#include <optional>
#include <utility>

#include "acquisition/site_worker.h"
#include "app/reporters.h"
#include "base/path.h"
#include "devices/devlink_library.h"
#include "config/reporter.h"
#include "line/line.h"
#include "line/open_line.h"
#include "log/error_log.h"
#include "log/strings.h"
#include "storage/file_system.h"

namespace vr {

RecorderRun::RecorderRun(std::string dir, CommandLine line, const Clock& runClock)
    : programDir(std::move(dir)),
      commandLine(std::move(line)),
      clock(runClock),
      profile(JoinPath(programDir, kConfigFileName)) {}

void RecorderRun::Quit() {
  mailbox.Post(WorkerRequest::kStopConnection);
  flags.quit = true;
}

bool RecorderRun::StopToEnd(std::chrono::milliseconds bound) {
  // A copy: the stop itself clears the member at the end of the run.
  const auto stop = stopToEnd;
  if (!stop) {
    Quit();
    return false;
  }
  return stop(bound);
}

std::optional<SiteMenuItem> RecorderRun::FindSiteItem(std::string_view site) {
  std::lock_guard guard(configMutex);
  for (const SitesMenuItem& item : config.menu)
    if (item.text == site) return SiteMenuItem{static_cast<std::uint32_t>(item.id), item.grayed};
  return std::nullopt;
}

int RunRecorder(const std::string& programDir, const CommandLine& commandLine,
                RecorderPlatform& platform) {
  SystemClock clock;
  RecorderRun run(programDir, commandLine, clock);

  {
    // No window yet: problems go straight to the log.
    LogReporter reporter(run.config.general, clock, platform.StartupLogWatch());
    if (!LoadConfiguration(run.profile, run.config, reporter, clock))
      return platform.ConfigurationUnusable(run);
  }
  const std::string port = run.config.general.com;
  ErrorLog(clock, run.config.general.log, platform.StartupLogWatch()).WriteMessage(msg::kStarting);
  auto closingLine = [&] {
    ErrorLog(clock, run.config.general.log, platform.StartupLogWatch()).WriteMessage(msg::kClosing);
  };

  std::string error;
  switch (platform.GuardInstance(run, error)) {
    case InstanceResult::kAcquired:
      break;
    case InstanceResult::kHeld: {
      const int code = platform.OtherInstanceRuns(run);
      closingLine();
      return code;
    }
    case InstanceResult::kFailed: {
      const int code = platform.CannotGuard(run, error);
      closingLine();
      return code;
    }
  }
  run.flags.ClearWarnings();
  run.waitEvent = platform.MakeWaitEvent(port);

  const std::unique_ptr<FrontEnd> frontEnd = platform.MakeFrontEnd(run);
  if (!frontEnd) return 0;  // no window: nothing could be shown or asked

  NativeFileSystem files;
  WorkerEnvironment env{
      .sites = run.config.sites,
      .menu = run.config.menu,
      .profile = run.profile,
      .programDir = programDir,
      .portName = port,
      .siteCode = commandLine.siteCode,
      .slave = commandLine.slave,
      .flags = run.flags,
      .notifier = frontEnd->Reports(),
      .display = frontEnd->Icons(),
      .clock = clock,
      .mailbox = run.mailbox,
      .files = files,
      .openLine = SystemLineOpener(run.profile),
      .reloadConfiguration =
          [&] {
            std::lock_guard guard(run.configMutex);
            if (const std::string refusal = PortChangeRefusal(port, PortInFile(run.profile));
                !refusal.empty()) {
              // The sites of another port must not be served on this one:
              // the running configuration stays whole.
              run.flags.reload = false;
              frontEnd->Reports().Post(Message::kDebug, 0,
                                       "Configurazione non ricaricata: VESPREC.INI indica la "
                                       "porta " + PortInFile(run.profile) + ", questa istanza "
                                       "serve " + port + " (un cambio di porta richiede un riavvio)");
              return;
            }
            NotifierReporter reporter(frontEnd->Reports());
            LoadConfiguration(run.profile, run.config, reporter, clock, &run.flags);
            frontEnd->SetLogPath(run.config.general.log);
          },
      .status = &run.status,
      .waitEvent = run.waitEvent.get(),
      .loadDevLink = [&programDir] { return LoadDevLink(programDir); },
      .showOwnerlessBox = [&](const std::string& text) { frontEnd->ShowOwnerlessBox(text); },
  };
  std::optional<SiteWorker> worker;
  worker.emplace(env);

  std::atomic<bool> workerEnded{false};
  SystemWakeSignal workerEndedSignal;
  std::thread workerThread = platform.StartWorkerThread([&] {
    worker->Run();
    workerEnded = true;
    workerEndedSignal.Signal();
  });

  // Every step is taken once, whoever comes to it first: the stop may be
  // asked for again from inside its own wait (a session end while the
  // program stops), and the outer stop then finds the steps done.
  bool closeAsked = false;
  bool finished = false;
  bool closeLogged = false;
  auto stopInOrder = [&](std::optional<std::chrono::milliseconds> bound) {
    run.flags.quit = true;
    if (!closeAsked) {
      closeAsked = true;
      run.flags.closing = true;
      run.flags.stop = true;
      run.mailbox.Post(WorkerRequest::kClose);
    }
    // The worker sends its closing reports and waits for each to be
    // handled, so the main loop goes on until the thread has ended.
    if (!bound) {
      frontEnd->RunUntil([&] { return workerEnded.load(); }, &workerEndedSignal);
    } else {
      // The signal is only a wake: the flags say why the wait ended.
      std::mutex timerMutex;
      std::condition_variable timerCancel;
      bool waited = false;
      std::atomic<bool> timedOut{false};
      std::thread timer([&] {
        std::unique_lock lock(timerMutex);
        if (!timerCancel.wait_for(lock, *bound, [&] { return waited; })) {
          timedOut = true;
          workerEndedSignal.Signal();
        }
      });
      frontEnd->RunUntil([&] { return workerEnded.load() || timedOut.load(); },
                         &workerEndedSignal);
      {
        std::lock_guard lock(timerMutex);
        waited = true;
      }
      timerCancel.notify_one();
      timer.join();
      if (!workerEnded) return false;
    }
    if (workerThread.joinable()) workerThread.join();
    if (!finished) {
      finished = true;
      frontEnd->Finish();
    }
    worker.reset();
    if (!closeLogged) {
      closeLogged = true;
      closingLine();
    }
    return true;
  };
  run.stopToEnd = [&](std::chrono::milliseconds bound) { return stopInOrder(bound); };

  frontEnd->RunUntil([&] { return run.flags.quit.load(); }, nullptr);
  stopInOrder(std::nullopt);
  run.stopToEnd = nullptr;
  return platform.StoppedInOrder();
}

}  // namespace vr
