#pragma once
// The Windows program's side of a run: start-up problems in message boxes,
// the instance mutex named after the port, the named wait event, and the
// main window as the front end.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/control_commands.h"
#include "app/instance_guard.h"
#include "app/recorder.h"
#include "base/wake_signal.h"
#include "storage/file_system.h"
#include "ui/control_pipe_win32.h"
#include "ui/main_window_win32.h"

namespace vr {

// The name of the wait event of a port, which other programs open to wake
// the idle worker.
std::wstring WaitEventName(const std::string& port);

// A wake signal over a named manual-reset event: its signalled state is the
// signal's only state, shared with every process that opens the name.
class NamedEventSignal final : public WakeSignal {
 public:
  // An event that cannot be made under the name is made without one, so
  // the worker's waits still work; only other programs cannot reach it.
  explicit NamedEventSignal(const std::wstring& name);
  ~NamedEventSignal() override;
  NamedEventSignal(const NamedEventSignal&) = delete;
  NamedEventSignal& operator=(const NamedEventSignal&) = delete;

  void Signal() override;
  bool Consume() override;
  bool Wait(std::uint32_t timeoutMs) override;
  std::intptr_t NativeHandle() const override;
  bool Named() const { return named_; }

 private:
  HANDLE event_ = nullptr;
  bool named_ = false;
};

// The main window as the control requests read it, from the pipe's thread:
// everything it reads is atomic or locked, its quit is a posted message.
// Without a desktop (the service) the warnings are log lines, which `ack`
// clears; on the desktop they are boxes that only the user closes.
class WindowControlView final : public ControlView {
 public:
  WindowControlView(MainWindow& window, ProcessFlags& flags, bool boxesToLog)
      : window_(window), flags_(flags), boxesToLog_(boxesToLog) {}

  TrayIcon Icon() const override { return window_.Icon(); }
  std::string Title() const override;
  std::string LastBox() const override { return {}; }
  bool StartEnabled() const override { return window_.StartEnabled(); }
  bool AcknowledgeWarnings() override;

 private:
  MainWindow& window_;
  ProcessFlags& flags_;
  bool boxesToLog_;
};

// The main window as the run's front end: reports, icons and the main loop
// are the window's; what the window asks for goes to the run. Its control
// pipe answers /Stato and /Ctl from the window's creation to Finish.
class WindowFrontEnd final : public FrontEnd {
 public:
  WindowFrontEnd(HINSTANCE instance, RecorderRun& run, bool service = false);
  ~WindowFrontEnd() override;

  // The windows are made; false when they cannot be.
  bool Create();

  Notifier& Reports() override { return window_; }
  IconDisplay& Icons() override { return window_; }
  void ShowOwnerlessBox(const std::string& text) override;
  void SetLogPath(std::string path) override { window_.SetLogPath(std::move(path)); }
  void RunUntil(const std::function<bool()>& done, WakeSignal* wake) override {
    window_.RunUntil(done, wake);
  }
  void Finish() override;

  MainWindow& Window() { return window_; }
  bool PipeServing() const { return pipe_.Serving(); }

 private:
  void StartControlPipe();

  RecorderRun& run_;
  bool service_;
  MainWindow window_;
  NativeFileSystem files_;  // status measures the overflow and rescue files
  WindowControlView view_;
  ControlContext control_;
  ControlPipeServer pipe_;  // last: its thread reads everything above
};

class Win32Platform final : public RecorderPlatform {
 public:
  // showCommand: the show state that WinMain was given.
  Win32Platform(HINSTANCE instance, int showCommand);
  // Run as a service: the window stays hidden and has no tray icon, boxes
  // become log lines; ready hears the main window once it exists.
  struct ServiceMode {
    std::function<void(HWND)> ready;
  };
  Win32Platform(HINSTANCE instance, ServiceMode service);
  ~Win32Platform() override;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  int ConfigurationUnusable(RecorderRun& run) override;
  InstanceResult GuardInstance(RecorderRun& run, std::string& error) override;
  int OtherInstanceRuns(RecorderRun& run) override;
  int CannotGuard(RecorderRun& run, const std::string& error) override;
  std::unique_ptr<WakeSignal> MakeWaitEvent(const std::string& port) override;
  std::unique_ptr<FrontEnd> MakeFrontEnd(RecorderRun& run) override;
  int StoppedInOrder() override { return 0; }

 private:
  HINSTANCE instance_;
  int showCommand_;
  std::optional<ServiceMode> service_;
  InstanceGuard guard_;
};

// The running instance's main window for a port: a top-level window whose
// title begins with windowTitle and that has a child titled exactly com
// (its worker window); nullptr when there is none.
HWND FindRunningInstance(const std::string& windowTitle, const std::string& com);

}  // namespace vr
