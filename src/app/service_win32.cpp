#include "app/service_win32.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/configuration.h"
#include "app/control_events_win32.h"
#include "app/recorder.h"
#include "app/recorder_win32.h"
#include "app/service_setup.h"
#include "base/path.h"
#include "base/wide_text_win32.h"
#include "config/general_settings.h"
#include "config/profile.h"
#include "log/error_log.h"
#include "log/strings.h"
#include "ui/control_answer.h"
#include "ui/control_pipe_win32.h"
#include "ui/main_window_win32.h"

namespace vr {

namespace {

// The Com of the VESPREC.INI beside the program; empty when it has none.
std::string PortOf(const std::string& programDir) {
  Profile profile(JoinPath(programDir, kConfigFileName));
  const std::string port = PortInFile(profile);
  return IsMissing(port) ? std::string() : port;
}

std::string ProgramPath() {
  wchar_t path[MAX_PATH * 2] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  return Utf8FromWide(std::wstring_view(path, length));
}

ServiceSetupResult ResultOf(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return ServiceSetupResult::kNoRights;
    case ERROR_SERVICE_EXISTS:
    case ERROR_DUPLICATE_SERVICE_NAME:
      return ServiceSetupResult::kExists;
    case ERROR_SERVICE_DOES_NOT_EXIST:
      return ServiceSetupResult::kNotInstalled;
    default:
      return ServiceSetupResult::kFailed;
  }
}

int Report(ServiceSetupResult result, const std::string& com, DWORD error = 0,
           const std::string& extra = {}) {
  std::string text = ServiceSetupText(result, com, error ? SystemErrorText(error) : "");
  if (!extra.empty()) text += "\n" + extra;
  const int code = ServiceSetupExitCode(result);
  TellUser(text, code != 0);
  return code;
}

struct ScHandle {
  SC_HANDLE handle = nullptr;
  explicit ScHandle(SC_HANDLE h) : handle(h) {}
  ~ScHandle() {
    if (handle) CloseServiceHandle(handle);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  explicit operator bool() const { return handle != nullptr; }
};

int ConfigurationMissing() {
  TellUser(std::string(MessageText(msg::kConfigUnusable)), true);
  return 1;
}

}  // namespace

void TellUser(const std::string& text, bool error) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  // A program of the windows subsystem has a standard output only when its
  // starter gave one; from a console it may borrow the starter's.
  bool console = false;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) == FILE_TYPE_UNKNOWN) {
    out = nullptr;
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
      out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
      console = out != INVALID_HANDLE_VALUE;
      if (!console) out = nullptr;
    }
  }
  if (!out) {
    MessageBoxW(nullptr, WideFromUtf8(text).c_str(), L"Vesper Recorder",
                MB_OK | (error ? MB_ICONHAND : MB_ICONINFORMATION));
    return;
  }
  std::string line = ToLogCharset(text);
  std::string crlf;
  for (const char c : line) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  crlf += "\r\n";
  DWORD written = 0;
  WriteFile(out, crlf.data(), static_cast<DWORD>(crlf.size()), &written, nullptr);
  if (console) CloseHandle(out);
}

int InstallService(const std::string& programDir) {
  const std::string com = PortOf(programDir);
  if (com.empty()) return ConfigurationMissing();
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    const DWORD error = GetLastError();
    return Report(ResultOf(error), com, error);
  }
  const std::wstring name = WideFromUtf8(ServiceName(com));
  const std::wstring display = WideFromUtf8(ServiceDisplayName(com));
  const std::wstring command = WideFromUtf8(ServiceCommandLine(ProgramPath()));
  const ScHandle service(CreateServiceW(manager.handle, name.c_str(), display.c_str(),
                                        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    const DWORD error = GetLastError();
    return Report(ResultOf(error), com, error);
  }
  std::wstring description = WideFromUtf8(
      "Registra i dati delle centrali telefoniche ricevuti su " + com + " (Vesper Recorder).");
  SERVICE_DESCRIPTIONW describe{description.data()};
  ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_DESCRIPTION, &describe);
  // Time for the orderly stop at shutdown, before the system goes on.
  SERVICE_PRESHUTDOWN_INFO preshutdown{
      static_cast<DWORD>(std::chrono::milliseconds(kStopToEndBound).count() + 10000)};
  ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
  // Started again after a failure: at once, after a minute, after five;
  // the count starts afresh after a day without failure.
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 60000},
                         {SC_ACTION_RESTART, 300000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 3600;
  failure.cActions = static_cast<DWORD>(std::size(actions));
  failure.lpsaActions = actions;
  std::string extra;
  if (!ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    extra = NoRecoveryText(SystemErrorText(GetLastError()));
  return Report(ServiceSetupResult::kInstalled, com, 0, extra);
}

int AskRunningInstance(const std::string& programDir, std::string_view commandLine,
                       ServiceOption option) {
  const std::string com = PortOf(programDir);
  if (com.empty()) return ConfigurationMissing();
  const auto tell = [&com](ControlClientResult result, std::string_view message = {}) {
    TellUser(ControlClientText(result, com, message), true);
    return ControlClientExitCode(result);
  };
  const std::string request = ControlRequestOf(commandLine, option);
  if (request.empty()) return tell(ControlClientResult::kUsage);
  std::string answer;
  switch (AskPipe(WideFromUtf8(ControlPipeName(com)), request, answer)) {
    case PipeAskResult::kNoInstance:
      return tell(ControlClientResult::kNoInstance);
    case PipeAskResult::kNoAnswer:
      return tell(ControlClientResult::kNoAnswer);
    case PipeAskResult::kDenied:
      return tell(ControlClientResult::kDenied);
    case PipeAskResult::kAnswered:
      break;
  }
  std::vector<std::string> lines;
  std::string message;
  if (!ParseAnswer(answer, lines, message)) return tell(ControlClientResult::kRefused, message);
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  // "ok" alone (stop, reload, quit): said, so the user sees it was taken.
  if (text.empty()) text = "ok";
  TellUser(text, false);
  return ControlClientExitCode(ControlClientResult::kAnswered);
}

int UninstallService(const std::string& programDir) {
  const std::string com = PortOf(programDir);
  if (com.empty()) return ConfigurationMissing();
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    const DWORD error = GetLastError();
    return Report(ResultOf(error), com, error);
  }
  const std::wstring name = WideFromUtf8(ServiceName(com));
  const ScHandle service(
      OpenServiceW(manager.handle, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    const DWORD error = GetLastError();
    return Report(ResultOf(error), com, error);
  }
  SERVICE_STATUS status{};
  ControlService(service.handle, SERVICE_CONTROL_STOP, &status);
  // The orderly stop of a running service ends within its bound.
  const auto deadline =
      std::chrono::steady_clock::now() + kStopToEndBound + std::chrono::seconds(10);
  bool stopped = false;
  while (QueryServiceStatus(service.handle, &status)) {
    if (status.dwCurrentState == SERVICE_STOPPED) {
      stopped = true;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) break;
    Sleep(250);
  }
  if (!DeleteService(service.handle)) {
    const DWORD error = GetLastError();
    return Report(ResultOf(error), com, error);
  }
  return Report(stopped ? ServiceSetupResult::kRemoved : ServiceSetupResult::kStillRunning, com);
}

// ---------------------------------------------------------------------------
// Under the service manager.

namespace {

struct ServiceState {
  HINSTANCE instance = nullptr;
  std::string programDir;
  std::wstring name;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  std::mutex mutex;  // everything below, and the calls to SetServiceStatus
  SERVICE_STATUS status{};
  HWND window = nullptr;
  bool stopAsked = false;
  bool ended = false;
  std::condition_variable changed;
  std::thread pending;  // reports "stop pending" until the run has ended
};

ServiceState* theState = nullptr;

void SetState(ServiceState& state, DWORD current, DWORD exitCode = 0, DWORD waitHintMs = 0) {
  state.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  state.status.dwCurrentState = current;
  state.status.dwControlsAccepted =
      current == SERVICE_RUNNING
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN
          : 0;
  state.status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  state.status.dwServiceSpecificExitCode = exitCode;
  state.status.dwWaitHint = waitHintMs;
  state.status.dwCheckPoint =
      current == SERVICE_START_PENDING || current == SERVICE_STOP_PENDING
          ? state.status.dwCheckPoint + 1
          : 0;
  if (!SetServiceStatus(state.statusHandle, &state.status) && current == SERVICE_RUNNING) {
    // An older manager that knows no pre-shutdown.
    state.status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    SetServiceStatus(state.statusHandle, &state.status);
  }
}

constexpr DWORD kStopHintMs = 5000;

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID context) {
  auto& state = *static_cast<ServiceState*>(context);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN: {
      std::lock_guard lock(state.mutex);
      if (state.ended || state.stopAsked) return NO_ERROR;
      state.stopAsked = true;
      SetState(state, SERVICE_STOP_PENDING, 0, kStopHintMs);
      // The orderly stop, on the recorder's own thread; without a window
      // yet, the start-up hands it over as soon as there is one.
      if (state.window) PostMessageW(state.window, kQuitMessage, 0, 0);
      // The manager hears, until the run has ended, that the stop goes on.
      state.pending = std::thread([&state] {
        std::unique_lock wait(state.mutex);
        while (!state.changed.wait_for(wait, std::chrono::milliseconds(kStopHintMs / 2),
                                       [&] { return state.ended; }))
          SetState(state, SERVICE_STOP_PENDING, 0, kStopHintMs);
      });
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceState& state = *theState;
  state.statusHandle =
      RegisterServiceCtrlHandlerExW(state.name.c_str(), ControlHandler, &state);
  if (!state.statusHandle) return;
  {
    std::lock_guard lock(state.mutex);
    SetState(state, SERVICE_START_PENDING, 0, 10000);
  }
  Win32Platform::ServiceMode mode;
  mode.ready = [&state](HWND window) {
    std::lock_guard lock(state.mutex);
    state.window = window;
    if (state.stopAsked) {
      PostMessageW(window, kQuitMessage, 0, 0);
    } else {
      SetState(state, SERVICE_RUNNING);
    }
  };
  int code = 0;
  {
    Win32Platform platform(state.instance, std::move(mode));
    code = RunRecorder(state.programDir, ParseCommandLine(""), platform);
  }
  std::unique_lock lock(state.mutex);
  state.ended = true;
  state.window = nullptr;
  state.changed.notify_all();
  std::thread pending = std::move(state.pending);
  lock.unlock();
  if (pending.joinable()) pending.join();
  lock.lock();
  SetState(state, SERVICE_STOPPED, static_cast<DWORD>(code));
}

}  // namespace

int RunService(HINSTANCE instance, const std::string& programDir) {
  ServiceState state;
  state.instance = instance;
  state.programDir = programDir;
  const std::string com = PortOf(programDir);
  state.name = WideFromUtf8(ServiceName(com));
  theState = &state;
  // Any user's log-off reaches a service: it is no reason to stop.
  CCorvinaServiceNT::SetServiceMode(true);
  SERVICE_TABLE_ENTRYW table[] = {{state.name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    const DWORD error = GetLastError();
    theState = nullptr;
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
      return Report(ServiceSetupResult::kNotFromTheManager, com);
    return Report(ServiceSetupResult::kFailed, com, error);
  }
  theState = nullptr;
  return 0;
}

}  // namespace vr
