#pragma once
// The Windows program's main window: a dialog of the class VRecClass with
// one read-only text box that shows the received text, and the hidden worker
// window through which other programs (and the tray menu) ask the site
// worker to stop, close or reload. The site worker reports here from its
// own thread through the Notifier interface; the main thread's loop
// (RunUntil) dispatches the reports as window messages.
//
// The window also owns the tray icon, whose picture follows the worker's
// state, and the tray menu with its sites menu, the About box and the start
// of the configuration program.
//
// The window knows nothing of the recorder's run: what it reads (the site,
// the line count, the free-space threshold, the sites menu) and what it
// asks for (the orderly stop, a request to the worker, a site started by
// hand) are plain callbacks.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/flags.h"
#include "base/notifier.h"
#include "base/wake_signal.h"
#include "base/wide_text_win32.h"
#include "config/settings.h"
#include "ui/front_end_text.h"

namespace vr {

// Received bytes as the text box shows them (Windows-1252, one character a
// byte, so the box's character counts are byte counts), and back.
std::wstring WideFromDisplayBytes(std::string_view bytes);
std::string DisplayBytesFromWide(std::wstring_view wide);

inline constexpr const wchar_t* kMainWindowClass = L"VRecClass";

// The worker window's messages, as other programs send them.
inline constexpr UINT kWorkerClose = WM_USER + 101;
inline constexpr UINT kWorkerStopConnection = WM_USER + 102;
inline constexpr UINT kWorkerReload = WM_USER + 103;
// To the main window: the orderly stop of the whole program.
inline constexpr UINT kQuitMessage = WM_USER + 200;
// The orderly stop run to its end before the answer (1: it ended in order,
// 0: not in time); sent by the console control handler at a log-off or
// shutdown, and by the service's control handler.
inline constexpr UINT kStopToEndMessage = WM_APP + 2;
// From the shell: a click on the tray icon (lParam: the mouse message).
inline constexpr UINT kTrayMessage = WM_USER + 1;

// The notification area as the window uses it (Shell_NotifyIconW): tests
// give one that records the calls, or fails.
using ShellNotify = std::function<bool(DWORD action, NOTIFYICONDATAW& data)>;

struct MainWindowSources {
  std::function<std::string()> currentSite;         // empty between sites
  std::function<std::uint64_t()> lineCount;         // line ends seen since the start
  std::function<std::uint32_t()> spaceThresholdMb;  // SpazioTimeout of the current site
  // The orderly stop of the whole program; the main thread, or the
  // poster's thread when a stop request finds no window to take it.
  std::function<void()> quit;
  // The orderly stop run to its end before it returns, within a bound;
  // true when it ended in order. The session ends (WM_ENDSESSION).
  std::function<bool()> stopToEnd;
  // A message that reached the worker window: kWorkerClose,
  // kWorkerStopConnection or kWorkerReload.
  std::function<void(UINT)> workerRequest;
  // The sites menu of the configuration read last.
  std::function<SitesMenu()> sitesMenu;
  // A site chosen in the sites menu, by its item id.
  std::function<void(std::uint32_t)> startSite;
};

struct MainWindowSettings {
  HINSTANCE instance = nullptr;  // where the dialog templates and icons are
  std::string windowTitle;       // "Vesper Recorder " and the port
  std::string com;               // the port: the worker window's title
  std::string logPath;           // the error log
  std::string configProgram;     // "&Configura...": VRECCFG.EXE beside the program
  ShellNotify shellNotify;       // Shell_NotifyIconW when not given
  // Run as a service: no desktop to show a box on. A warning becomes a
  // log line, and its pending flag clears after warningRepeatMs, so that a
  // lasting failure is logged again at most that often.
  bool boxesToLog = false;
  UINT warningRepeatMs = 5 * 60 * 1000;
};

class MainWindow final : public Notifier, public IconDisplay {
 public:
  MainWindow(MainWindowSettings settings, ProcessFlags& flags, const Clock& clock,
             MainWindowSources sources);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Registers the class (once per process) and creates the main window and
  // the worker window, both hidden. False when either cannot be made.
  bool Create();

  // The first display. slave forces NoVisible to 0; NoVisible 1 counts the
  // window as shown without showing it; 2 leaves it hidden; otherwise it is
  // shown with showCommand and, for the "normal" show states, placed within
  // the desktop with a margin of a sixth on every side.
  void ShowAtStart(int showCommand, int noVisible, bool slave);

  // Notifier, any thread. Post never waits for the main thread; Send
  // returns once the main thread has handled the message.
  void Post(Message message, std::uint32_t value, std::string text) override;
  void Send(Message message, std::uint32_t value, std::string text) override;

  // The tray icon: added (idle, the title as its tip) and from then on kept
  // there, added again whenever the shell has lost it; removed by Finish.
  void AddTrayIcon();
  bool TrayOk() const { return trayOk_; }

  // IconDisplay, any thread: the tray icon shows the state.
  void ShowIcon(TrayIcon icon) override;
  void EnableMenuItems(bool start, bool stop) override;
  TrayIcon Icon() const { return icon_; }
  bool StartEnabled() const { return startEnabled_; }
  bool StopEnabled() const { return stopEnabled_; }

  // The error log may move when the configuration is read again; any thread.
  void SetLogPath(std::string path);
  std::string LogPath() const;

  // Main thread from here on.

  // Handles messages until done() is true; done() is asked before the first
  // wait and after every batch. wake, when given, also ends a wait.
  void RunUntil(const std::function<bool()>& done, WakeSignal* wake);
  // Handles every waiting message of the thread.
  void PumpMessages();
  // Once nothing reports any more (the worker has ended): the last messages
  // are handled and the windows destroyed. Later reports go to the log
  // directly.
  void Finish();

  // The tray menu as a right click shows it: menu 11 with the sites menu
  // under "&Avvia" and the two items enabled as the run stands. The caller
  // destroys it (DestroyMenu on the menu returned by LoadMenu: Owner()).
  struct TrayMenu {
    HMENU loaded = nullptr;  // menu 11
    HMENU popup = nullptr;   // its "PopUp"
    HMENU sites = nullptr;   // under "&Avvia"
  };
  TrayMenu BuildTrayMenu() const;
  bool MenuBusy() const { return menuBusy_; }
  HWND AboutBox() const { return about_; }

  HWND Handle() const { return window_; }
  HWND WorkerHandle() const { return worker_; }
  HWND TextBox() const { return textBox_; }
  bool WindowShown() const { return windowShown_; }
  int EffectiveNoVisible() const { return noVisible_; }
  const std::string& WindowTitle() const { return settings_.windowTitle; }
  // The title last set by a display: site and line count.
  std::string DisplayedTitle() const;
  // Display bytes dropped and not yet logged.
  std::uint64_t DroppedDisplayBytes() const { return droppedBytes_; }
  std::size_t InFlightDisplayBytes() const { return inFlightBytes_; }

 private:
  struct DisplayBlock;  // what a display message carries in its lParam

  static LRESULT CALLBACK MainProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK WorkerProcedure(HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam);
  static INT_PTR CALLBACK AboutProcedure(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam);
  LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  void Deliver(bool send, Message message, std::uint32_t value, std::string text);
  void DeliverDisplay(bool send, std::uint32_t announced, std::string text);
  bool Transmit(bool send, UINT message, WPARAM wParam, LPARAM lParam);
  bool ReserveDisplay(std::size_t bytes);
  void Display(const std::vector<std::unique_ptr<DisplayBlock>>& blocks);
  void UpdateTextBox(const std::vector<std::string_view>& chunks);
  void ShowWarning(int id);
  void LogDropped(std::uint64_t bytes) const;

  bool Notify(DWORD action, UINT flags);
  HICON TrayIconImage(TrayIcon icon) const;
  void TrayClick(UINT mouseMessage);
  void Command(HWND window, UINT id, WPARAM wParam, LPARAM lParam);
  void OpenAbout();
  void RunConfigurationProgram();
  void StopConnection();

  MainWindowSettings settings_;
  ProcessFlags& flags_;
  const Clock& clock_;
  MainWindowSources sources_;

  HWND window_ = nullptr;
  HWND worker_ = nullptr;
  HWND textBox_ = nullptr;
  std::string shown_;  // the text box's text, as bytes
  int noVisible_ = 0;
  bool windowShown_ = false;
  std::array<bool, kLastWarningId - kFirstWarningId + 1> boxOpen_{};
  HWND about_ = nullptr;
  bool menuBusy_ = false;   // the About box is open or the configuration program runs
  bool trayWanted_ = false;
  bool trayOk_ = false;
  UINT taskbarCreated_ = 0;  // the shell (re)started: the icon must be added again
  std::array<HICON, 4> trayImages_{};  // by TrayIcon, from kReceiving

  mutable std::mutex mutex_;  // logPath_, displayedTitle_
  std::string logPath_;
  std::string displayedTitle_;

  std::atomic<bool> finished_{false};
  std::atomic<HWND> target_{nullptr};  // window_, for the reporting threads
  std::atomic<std::size_t> inFlightBytes_{0};
  std::atomic<std::uint64_t> droppedBytes_{0};
  std::atomic<TrayIcon> icon_{TrayIcon::kIdle};
  std::atomic<bool> startEnabled_{true};
  std::atomic<bool> stopEnabled_{false};
};

}  // namespace vr
