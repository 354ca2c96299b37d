#pragma once
// One run of the recorder, the same in both programs: load the
// configuration, guard the instance, create the shared state, start the
// site worker, run the main loop until the program is to end, stop the
// worker in order and release everything in the reverse order of the
// start-up. What differs between the programs (how a start-up problem is
// shown, the guard, the wait event, the front end and its main loop) comes
// from a RecorderPlatform.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "acquisition/worker_mailbox.h"
#include "app/command_line.h"
#include "app/configuration.h"
#include "base/clock.h"
#include "base/flags.h"
#include "base/notifier.h"
#include "base/wake_signal.h"
#include "config/profile.h"
#include "log/error_log.h"

namespace vr {

// A site's item in the sites menu.
struct SiteMenuItem {
  std::uint32_t id = 0;
  bool grayed = false;  // the site was dropped from the schedule
};

// What the main thread, the front end and the worker share during a run.
struct RecorderRun {
  RecorderRun(std::string dir, CommandLine line, const Clock& runClock);

  const std::string programDir;
  const CommandLine commandLine;
  const Clock& clock;
  ProcessFlags flags;
  Configuration config;
  Profile profile;          // VESPREC.INI in the program directory
  std::mutex configMutex;   // the worker reloads the configuration; the front end reads it
  StatusBoard status;       // what the worker says about itself
  SystemWakeSignal mailboxWake;
  WorkerMailbox mailbox{mailboxWake};  // requests to the worker
  // The wait event that other programs raise to wake the idle worker.
  std::unique_ptr<WakeSignal> waitEvent;

  // The orderly stop of the whole program: the running connection ends and
  // the main loop returns (Esci, WM_USER+200, SIGTERM).
  void Quit();
  // The orderly stop run to its end before the caller goes on: the session
  // ends or the service manager stops the program, and the process may be
  // ended as soon as the caller returns. Main thread only (it runs the main
  // loop meanwhile, so it may be called from inside it, again from inside
  // itself, and before or while the ordinary stop runs). Waits at most
  // bound for the worker; true when the worker has ended, its last records
  // are stored and the close is logged. False when the run has no worker
  // (yet) or it did not end in time; the ordinary stop then goes on later.
  bool StopToEnd(std::chrono::milliseconds bound);
  // Set by RunRecorder while the worker runs.
  std::function<bool(std::chrono::milliseconds)> stopToEnd;
  // The sites-menu item of a site; nothing when the menu has no such site.
  std::optional<SiteMenuItem> FindSiteItem(std::string_view site);
};

// The main thread's side of the program: the window or the console.
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // Where the worker's reports and icon changes go; any thread.
  virtual Notifier& Reports() = 0;
  virtual IconDisplay& Icons() = 0;
  // A box without owner window, from the thread that asks (the worker's);
  // not a report through the main window. Returns once it is shown (on
  // Windows, once the user has closed it).
  virtual void ShowOwnerlessBox(const std::string& text) = 0;
  // A reload read another Log; any thread.
  virtual void SetLogPath(std::string path) = 0;
  // Handles events until done() is true; done() is asked before the first
  // wait and after every event. wake, when given, also ends a wait.
  virtual void RunUntil(const std::function<bool()>& done, WakeSignal* wake) = 0;
  // After the worker has ended: the last reports are handled, and nothing
  // waits for the main loop any more.
  virtual void Finish() = 0;
};

enum class InstanceResult {
  kAcquired,
  kHeld,    // another instance serves the port
  kFailed,  // the guard could not be taken (reason given)
};

class RecorderPlatform {
 public:
  virtual ~RecorderPlatform() = default;
  // The configuration cannot be used (its problems are in the log, if Log
  // was read). The exit code.
  virtual int ConfigurationUnusable(RecorderRun& run) = 0;
  // The one-instance-per-port guard, held until the platform is destroyed.
  virtual InstanceResult GuardInstance(RecorderRun& run, std::string& error) = 0;
  // Another instance serves the port: show it. The exit code.
  virtual int OtherInstanceRuns(RecorderRun& run) = 0;
  // The guard could not be taken. The exit code.
  virtual int CannotGuard(RecorderRun& run, const std::string& error) = 0;
  // The wait event of the port (named on Windows, so others can open it).
  virtual std::unique_ptr<WakeSignal> MakeWaitEvent(const std::string& port) = 0;
  // The front end, once the shared state of the run is ready.
  virtual std::unique_ptr<FrontEnd> MakeFrontEnd(RecorderRun& run) = 0;
  // Starts the worker's thread.
  virtual std::thread StartWorkerThread(std::function<void()> body) {
    return std::thread(std::move(body));
  }
  // The exit code of a run that reached the main loop.
  virtual int StoppedInOrder() { return 0; }
  // Hears whether the log lines of the start-up and the end could be written.
  virtual LogWatch* StartupLogWatch() { return nullptr; }
};

// How long a session end or a service stop waits for the orderly stop:
// Windows gives a session's programs about as long before it ends them.
inline constexpr std::chrono::seconds kStopToEndBound{20};

// The whole run; the exit code.
int RunRecorder(const std::string& programDir, const CommandLine& commandLine,
                RecorderPlatform& platform);

}  // namespace vr
