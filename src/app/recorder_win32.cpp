#include "app/recorder_win32.h"

#include <utility>

#include "app/control_events_win32.h"
#include "app/service_setup.h"
#include "app/status_report.h"
#include "base/path.h"
#include "log/error_log.h"
#include "log/strings.h"

namespace vr {

std::wstring WaitEventName(const std::string& port) {
  return L"VESPER_WAIT_EVENT_" + WideFromUtf8(port);
}

NamedEventSignal::NamedEventSignal(const std::wstring& name) {
  event_ = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  named_ = event_ != nullptr;
  if (!event_) event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

NamedEventSignal::~NamedEventSignal() {
  if (event_) CloseHandle(event_);
}

void NamedEventSignal::Signal() { SetEvent(event_); }

bool NamedEventSignal::Consume() {
  const bool raised = WaitForSingleObject(event_, 0) == WAIT_OBJECT_0;
  if (raised) ResetEvent(event_);
  return raised;
}

bool NamedEventSignal::Wait(std::uint32_t timeoutMs) {
  return WaitForSingleObject(event_, timeoutMs) == WAIT_OBJECT_0;
}

std::intptr_t NamedEventSignal::NativeHandle() const {
  return reinterpret_cast<std::intptr_t>(event_);
}

namespace {

MainWindowSources SourcesOf(RecorderRun& run) {
  MainWindowSources sources;
  // Through the status board: the worker changes these on its own thread.
  sources.currentSite = [&run] { return run.status.Get().site; };
  sources.lineCount = [&run] { return run.status.Get().lines; };
  sources.spaceThresholdMb = [&run] { return run.status.Get().spaceThresholdMb; };
  sources.quit = [&run] { run.Quit(); };
  sources.stopToEnd = [&run] { return run.StopToEnd(kStopToEndBound); };
  // The worker takes them from its mailbox when it pumps its messages.
  sources.workerRequest = [&run](UINT message) {
    switch (message) {
      case kWorkerClose:
        run.mailbox.Post(WorkerRequest::kClose);
        break;
      case kWorkerStopConnection:
        run.mailbox.Post(WorkerRequest::kStopConnection);
        break;
      case kWorkerReload:
        run.mailbox.Post(WorkerRequest::kReload);
        break;
      default:
        break;
    }
  };
  sources.sitesMenu = [&run] {
    std::lock_guard guard(run.configMutex);
    return run.config.menu;
  };
  sources.startSite = [&run](std::uint32_t id) { run.mailbox.Post(WorkerRequest::kStartSite, id); };
  return sources;
}

MainWindowSettings SettingsOf(HINSTANCE instance, const RecorderRun& run, bool service) {
  MainWindowSettings settings;
  settings.boxesToLog = service;
  settings.instance = instance;
  settings.windowTitle = run.config.general.windowTitle;
  settings.com = run.config.general.com;
  settings.logPath = run.config.general.log;
  settings.configProgram = JoinPath(ExecutableDirectory(), "VRECCFG.EXE");
  return settings;
}

struct InstanceSearch {
  std::wstring title;
  std::wstring com;
  HWND found = nullptr;
};

BOOL CALLBACK FindWorkerChild(HWND child, LPARAM lParam) {
  auto& search = *reinterpret_cast<InstanceSearch*>(lParam);
  wchar_t text[64] = {};
  const int length = GetWindowTextW(child, text, static_cast<int>(std::size(text)));
  if (std::wstring_view(text, static_cast<std::size_t>(length)) == search.com) {
    search.found = child;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK FindInstanceWindow(HWND window, LPARAM lParam) {
  auto& search = *reinterpret_cast<InstanceSearch*>(lParam);
  // The running instance's title goes on with its site and line count.
  wchar_t title[50] = {};
  const int length = GetWindowTextW(window, title, static_cast<int>(std::size(title)));
  if (!std::wstring_view(title, static_cast<std::size_t>(length)).starts_with(search.title))
    return TRUE;
  InstanceSearch child{search.title, search.com, nullptr};
  EnumChildWindows(window, FindWorkerChild, reinterpret_cast<LPARAM>(&child));
  if (!child.found) return TRUE;
  search.found = window;
  return FALSE;
}

}  // namespace

HWND FindRunningInstance(const std::string& windowTitle, const std::string& com) {
  InstanceSearch search{WideFromUtf8(windowTitle), WideFromUtf8(com), nullptr};
  EnumWindows(FindInstanceWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string WindowControlView::Title() const {
  std::string title = window_.DisplayedTitle();
  return title.empty() ? window_.WindowTitle() : title;
}

bool WindowControlView::AcknowledgeWarnings() {
  if (!boxesToLog_) return false;
  flags_.ClearWarnings();
  return true;
}

WindowFrontEnd::WindowFrontEnd(HINSTANCE instance, RecorderRun& run, bool service)
    : run_(run),
      service_(service),
      window_(SettingsOf(instance, run, service), run.flags, run.clock, SourcesOf(run)),
      view_(window_, run.flags, service),
      control_{
          .port = run.config.general.com,
          .pid = static_cast<std::int64_t>(GetCurrentProcessId()),
          .flags = run.flags,
          .mailbox = run.mailbox,
          .waitEvent = *run.waitEvent,
          .status = run.status,
          .frontEnd = view_,
          .findSiteItem = [&run](std::string_view site) { return run.FindSiteItem(site); },
          // Through the window, as "&Esci" and WM_USER+200 stop it: its loop
          // wakes for the message, not for a flag set from this thread.
          .quit = [this] { PostMessageW(window_.Handle(), kQuitMessage, 0, 0); },
          // Profiles of their own: the worker writes through the run's.
          .portInFile = [&run] { return PortInFile(Profile(run.profile.Path())); },
          .siteFiles =
              [this] {
                SitesMenu menu;
                {
                  std::lock_guard guard(run_.configMutex);
                  menu = run_.config.menu;
                }
                return MeasureSiteFiles(Profile(run_.profile.Path()), menu, run_.programDir,
                                        files_);
              },
      } {}

WindowFrontEnd::~WindowFrontEnd() {
  pipe_.Stop();
  CCorvinaServiceNT::SetMainWindow(nullptr);
}

bool WindowFrontEnd::Create() {
  if (!window_.Create()) return false;
  // From now on a system shutdown stops the program in order.
  CCorvinaServiceNT::SetMainWindow(window_.Handle());
  StartControlPipe();
  return true;
}

void WindowFrontEnd::StartControlPipe() {
  DWORD error = 0;
  const std::string name = ControlPipeName(run_.config.general.com);
  if (pipe_.Start(
          WideFromUtf8(name),
          [this](std::string_view request) { return AnswerControlRequest(control_, request); },
          error))
    return;
  // The recording goes on; only /Stato and /Ctl will not reach it.
  ErrorLog(run_.clock, window_.LogPath())
      .WriteDebug("Nessuna pipe di controllo " + name +
                  ", /Stato non raggiungerà questa istanza: " + SystemErrorText(error));
}

void WindowFrontEnd::ShowOwnerlessBox(const std::string& text) {
  if (service_) {
    // No desktop to show it on.
    ErrorLog(run_.clock, window_.LogPath()).WriteDebug(text);
    return;
  }
  // The caption every version of the program gives these boxes.
  MessageBoxW(nullptr, WideFromUtf8(text).c_str(), L"Corvina Vesper Recorder", MB_ICONEXCLAMATION);
}

void WindowFrontEnd::Finish() {
  // At once, whatever client it serves: the stop never waits for one.
  pipe_.Stop();
  CCorvinaServiceNT::SetMainWindow(nullptr);
  window_.Finish();
}

Win32Platform::Win32Platform(HINSTANCE instance, int showCommand)
    : instance_(instance), showCommand_(showCommand) {}

Win32Platform::Win32Platform(HINSTANCE instance, ServiceMode service)
    : instance_(instance), showCommand_(SW_HIDE), service_(std::move(service)) {}

Win32Platform::~Win32Platform() = default;

int Win32Platform::ConfigurationUnusable(RecorderRun& run) {
  if (service_) {
    // No desktop: the service log beside the program says it, and the
    // service manager hears a failure.
    CCorvinaServiceNT::Instance().Log(MessageText(msg::kConfigUnusable));
    return 1;
  }
  // No window exists yet, and the log may not be known: a box, nothing logged.
  MessageBoxW(nullptr, WideFromUtf8(MessageText(msg::kConfigUnusable)).c_str(),
              WideFromUtf8(run.config.general.windowTitle).c_str(), MB_OK | MB_ICONHAND);
  return 0;
}

InstanceResult Win32Platform::GuardInstance(RecorderRun& run, std::string& error) {
  // Named exactly after the port, as every version of the program names it.
  switch (guard_.Acquire(run.config.general.com, error)) {
    case InstanceGuard::Result::kAcquired:
      return InstanceResult::kAcquired;
    case InstanceGuard::Result::kHeld:
      return InstanceResult::kHeld;
    case InstanceGuard::Result::kFailed:
      return InstanceResult::kFailed;
  }
  return InstanceResult::kFailed;
}

int Win32Platform::OtherInstanceRuns(RecorderRun& run) {
  if (service_) return 1;  // the port is served already: the service fails to start
  const GeneralSettings& general = run.config.general;
  if (const HWND running = FindRunningInstance(general.windowTitle, general.com)) {
    if (general.noVisible != 1 && general.noVisible != 2) {
      ShowWindow(running, SW_SHOWNORMAL);
      SetForegroundWindow(running);
    }
  }
  return 0;
}

int Win32Platform::CannotGuard(RecorderRun& run, const std::string&) {
  ErrorLog(run.clock, run.config.general.log).WriteSystemError(guard_.SystemError());
  return 0;
}

std::unique_ptr<WakeSignal> Win32Platform::MakeWaitEvent(const std::string& port) {
  return std::make_unique<NamedEventSignal>(WaitEventName(port));
}

std::unique_ptr<FrontEnd> Win32Platform::MakeFrontEnd(RecorderRun& run) {
  auto frontEnd = std::make_unique<WindowFrontEnd>(instance_, run, service_.has_value());
  if (!frontEnd->Create()) return nullptr;
  if (service_) {
    // Hidden for the whole run, reachable by the messages of other programs.
    if (service_->ready) service_->ready(frontEnd->Window().Handle());
    return frontEnd;
  }
  frontEnd->Window().AddTrayIcon();
  frontEnd->Window().ShowAtStart(showCommand_, run.config.general.noVisible,
                                 run.commandLine.slave);
  return frontEnd;
}

}  // namespace vr
