#include "app/recorder.h"

#include <atomic>
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

  frontEnd->RunUntil([&] { return run.flags.quit.load(); }, nullptr);

  // The worker sends its closing reports and waits for each to be handled,
  // so the main loop goes on until the thread has ended.
  run.flags.closing = true;
  run.flags.stop = true;
  run.mailbox.Post(WorkerRequest::kClose);
  frontEnd->RunUntil([&] { return workerEnded.load(); }, &workerEndedSignal);
  workerThread.join();
  frontEnd->Finish();
  worker.reset();
  closingLine();
  return platform.StoppedInOrder();
}

}  // namespace vr
