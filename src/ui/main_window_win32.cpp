#include "ui/main_window_win32.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "../../resources/resource_ids.h"
#include "log/error_log.h"
#include "log/strings.h"
#include "ui/front_end_text.h"

namespace vr {

// What the window procedure answers to the worker's reports, so that a
// sender learns the message was handled (and its block taken).
constexpr LRESULT kHandled = 1;

constexpr UINT kDisplayMessage = static_cast<UINT>(Message::kDisplay);
constexpr UINT kSystemErrorMessage = static_cast<UINT>(Message::kSystemError);
constexpr UINT kErrorMessage = static_cast<UINT>(Message::kError);
constexpr UINT kDebugMessage = static_cast<UINT>(Message::kDebug);
constexpr UINT kWarningMessage = static_cast<UINT>(Message::kWarning);

// Display messages taken into one update of the text box at most.
constexpr std::size_t kMaxDisplayBatch = 256;

// The worker changed the tray picture: the main thread shows the latest.
constexpr UINT kIconChangedMessage = WM_APP + 1;
constexpr UINT kTrayIconId = 0;

// The received text of one display message, and the bytes that were
// dropped since the text before it was accepted.
struct MainWindow::DisplayBlock {
  std::string text;
  std::uint64_t droppedBefore = 0;
};

namespace {

// The window being created on this thread: the dialog manager sends it
// messages before WM_INITDIALOG hands over its object.
thread_local MainWindow* creatingWindow = nullptr;

bool IsWarningId(std::uint32_t id) {
  return id >= static_cast<std::uint32_t>(kFirstWarningId) &&
         id <= static_cast<std::uint32_t>(kLastWarningId);
}

std::size_t WarningIndex(int id) { return static_cast<std::size_t>(id - kFirstWarningId); }

// The dialog manager sends WM_INITDIALOG, which carries the window's object,
// only when a dialog procedure is given; this one is never called, because
// the class procedure handles every message of the main window itself.
INT_PTR CALLBACK UnusedDialogProcedure(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

constexpr UINT kDisplayCodePage = 1252;

bool SystemShellNotify(DWORD action, NOTIFYICONDATAW& data) {
  return Shell_NotifyIconW(action, &data) != FALSE;
}

constexpr int kTrayImageIds[] = {IDI_RECEIVING, IDI_HELD, IDI_LINE_ERROR, IDI_IDLE};

std::size_t TrayImageIndex(TrayIcon icon) {
  return static_cast<std::size_t>(icon) - static_cast<std::size_t>(TrayIcon::kReceiving);
}

}  // namespace

std::wstring WideFromDisplayBytes(std::string_view bytes) {
  return WideFromBytes(kDisplayCodePage, bytes);
}
std::string DisplayBytesFromWide(std::wstring_view wide) {
  return BytesFromWide(kDisplayCodePage, wide);
}

MainWindow::MainWindow(MainWindowSettings settings, ProcessFlags& flags, const Clock& clock,
                       MainWindowSources sources)
    : settings_(std::move(settings)),
      flags_(flags),
      clock_(clock),
      sources_(std::move(sources)),
      logPath_(settings_.logPath),
      displayedTitle_(settings_.windowTitle) {
  if (!settings_.shellNotify) settings_.shellNotify = SystemShellNotify;
  // The notification area shows small icons: the 16x16 images, not the
  // 32x32 ones scaled down.
  const int width = GetSystemMetrics(SM_CXSMICON);
  const int height = GetSystemMetrics(SM_CYSMICON);
  for (std::size_t i = 0; i < trayImages_.size(); ++i)
    trayImages_[i] = static_cast<HICON>(LoadImageW(settings_.instance,
                                                   MAKEINTRESOURCEW(kTrayImageIds[i]), IMAGE_ICON,
                                                   width, height, LR_DEFAULTCOLOR));
  // Sent to every top-level window when the shell starts again.
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
}

MainWindow::~MainWindow() {
  Finish();
  for (HICON image : trayImages_)
    if (image) DestroyIcon(image);
}

bool MainWindow::Create() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_DBLCLKS;
  windowClass.lpfnWndProc = MainProcedure;
  windowClass.cbWndExtra = DLGWINDOWEXTRA;  // a dialog's own data lives there
  windowClass.hInstance = settings_.instance;
  windowClass.hIcon = LoadIconW(settings_.instance, MAKEINTRESOURCEW(IDI_WINDOW));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
  windowClass.lpszClassName = kMainWindowClass;
  // One class serves every window of the process (tests make several).
  if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    return false;

  creatingWindow = this;
  window_ = CreateDialogParamW(settings_.instance, MAKEINTRESOURCEW(IDD_MAIN), GetDesktopWindow(),
                               UnusedDialogProcedure, reinterpret_cast<LPARAM>(this));
  creatingWindow = nullptr;
  if (!window_) return false;
  SetWindowLongPtrW(window_, DWLP_USER, reinterpret_cast<LONG_PTR>(this));
  SetWindowTextW(window_, WideFromUtf8(settings_.windowTitle).c_str());
  textBox_ = GetDlgItem(window_, IDC_TEXT_BOX);
  // The text box never holds kDisplayLimitChars; setting its text must not
  // cut it shorter than that.
  if (textBox_) SendMessageW(textBox_, EM_SETLIMITTEXT, kDisplayLimitChars, 0);
  // The separator and "Close": closing only hides the window.
  if (HMENU systemMenu = GetSystemMenu(window_, FALSE)) {
    EnableMenuItem(systemMenu, 5, MF_BYPOSITION | MF_GRAYED);
    EnableMenuItem(systemMenu, 6, MF_BYPOSITION | MF_GRAYED);
  }

  // The worker window is made here, on the main thread, although it speaks
  // for the worker: the worker thread has no window message loop, it waits
  // on its mailbox. Other programs only need to find this window by its
  // title and send it its three messages, which works the same from either
  // thread; its procedure turns them into mailbox requests.
  worker_ = CreateDialogParamW(settings_.instance, MAKEINTRESOURCEW(IDD_WORKER), window_,
                               WorkerProcedure, reinterpret_cast<LPARAM>(this));
  if (!worker_) {
    DestroyWindow(window_);
    window_ = nullptr;
    textBox_ = nullptr;
    return false;
  }
  SetWindowTextW(worker_, WideFromUtf8(settings_.com).c_str());
  target_ = window_;
  return true;
}

void MainWindow::ShowAtStart(int showCommand, int noVisible, bool slave) {
  if (slave) noVisible = 0;
  noVisible_ = noVisible;
  if (noVisible == 1) {
    // Counts as shown, so that a click on the tray icon never shows it.
    windowShown_ = true;
    return;
  }
  if (noVisible == 2) return;
  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
  windowShown_ = true;
  switch (showCommand) {
    case SW_SHOWNORMAL:
    case SW_SHOW:
    case SW_SHOWNA:
    case SW_RESTORE:
    case SW_SHOWDEFAULT: {
      RECT desktop{};
      GetWindowRect(GetDesktopWindow(), &desktop);
      const int width = desktop.right - desktop.left;
      const int height = desktop.bottom - desktop.top;
      const int dx = width / 6;
      const int dy = height / 6;
      MoveWindow(window_, dx, dy, width - 2 * dx, height - 2 * dy, TRUE);
      UpdateWindow(window_);
      break;
    }
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// From the worker's thread.
//
// The display used to travel through a pipe of 65534 bytes whose write
// waited while the main thread was slow, and so held up storage. Here each
// message carries its text in a heap block that the window procedure takes
// over and frees: the worker never waits for the window (Post), and at most
// kDisplayWaitingLimitBytes of text wait to be shown; beyond that display
// text is dropped and counted, never a report. A message the system does
// not take (a full queue, the window gone) frees its block at once; a report
// then goes to the error log from the calling thread, so none is lost.

void MainWindow::Post(Message message, std::uint32_t value, std::string text) {
  Deliver(false, message, value, std::move(text));
}

void MainWindow::Send(Message message, std::uint32_t value, std::string text) {
  Deliver(true, message, value, std::move(text));
}

void MainWindow::Deliver(bool send, Message message, std::uint32_t value, std::string text) {
  const UINT id = static_cast<UINT>(message);
  switch (message) {
    case Message::kDisplay:
      DeliverDisplay(send, value, std::move(text));
      return;
    case Message::kSystemError:
    case Message::kError:
    case Message::kDebug: {
      auto block = std::make_unique<std::string>(std::move(text));
      if (Transmit(send, id, value, reinterpret_cast<LPARAM>(block.get()))) {
        block.release();  // the window procedure has it
      } else {
        WriteReport(ErrorLog(clock_, LogPath()), message, value, *block);
      }
      return;
    }
    case Message::kWarning:
      // The sender set the flag as it posted; a box that will never open
      // must not keep the warning back for the rest of the run.
      if (!Transmit(send, id, value, 0) && IsWarningId(value))
        flags_.WarningPending(static_cast<int>(value)) = false;
      return;
    case Message::kQuit:
      if (!Transmit(send, id, 0, 0) && sources_.quit) sources_.quit();
      return;
  }
}

void MainWindow::DeliverDisplay(bool send, std::uint32_t announced, std::string text) {
  // Nothing announced: nothing to show, not even a new title.
  if (announced == 0) return;
  text = ShownDisplayText(std::move(text), announced);
  const std::size_t bytes = text.size();
  if (bytes > 0 && !ReserveDisplay(bytes)) {
    droppedBytes_ += bytes;
    // The title still counts the lines.
    Transmit(send, kDisplayMessage, announced, 0);
    return;
  }
  auto block = std::make_unique<DisplayBlock>();
  block->text = std::move(text);
  if (bytes > 0) block->droppedBefore = droppedBytes_.exchange(0);
  if (Transmit(send, kDisplayMessage, announced, reinterpret_cast<LPARAM>(block.get()))) {
    block.release();
    return;
  }
  inFlightBytes_ -= bytes;
  droppedBytes_ += block->droppedBefore + bytes;
}

bool MainWindow::Transmit(bool send, UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND target = target_.load();
  if (finished_ || !target) return false;
  if (send) return SendMessageW(target, message, wParam, lParam) == kHandled;
  return PostMessageW(target, message, wParam, lParam) != 0;
}

bool MainWindow::ReserveDisplay(std::size_t bytes) {
  std::size_t current = inFlightBytes_.load();
  do {
    if (bytes > kDisplayWaitingLimitBytes - current) return false;
  } while (!inFlightBytes_.compare_exchange_weak(current, current + bytes));
  return true;
}

void MainWindow::LogDropped(std::uint64_t bytes) const {
  LogDroppedDisplay(ErrorLog(clock_, LogPath()), bytes);
}

void MainWindow::ShowIcon(TrayIcon icon) {
  // The worker never waits on the shell: the main thread changes the
  // picture, to the latest state when several changes wait.
  if (icon_.exchange(icon) == icon) return;
  if (const HWND target = target_.load(); target && !finished_)
    PostMessageW(target, kIconChangedMessage, 0, 0);
}

void MainWindow::EnableMenuItems(bool start, bool stop) {
  startEnabled_ = start;
  stopEnabled_ = stop;
}

void MainWindow::SetLogPath(std::string path) {
  std::lock_guard lock(mutex_);
  logPath_ = std::move(path);
}

std::string MainWindow::LogPath() const {
  std::lock_guard lock(mutex_);
  return logPath_;
}

std::string MainWindow::DisplayedTitle() const {
  std::lock_guard lock(mutex_);
  return displayedTitle_;
}

// ---------------------------------------------------------------------------
// The main thread.

void MainWindow::RunUntil(const std::function<bool()>& done, WakeSignal* wake) {
  HANDLE handles[1] = {nullptr};
  DWORD count = 0;
  if (wake && wake->NativeHandle() > 0) {
    handles[0] = reinterpret_cast<HANDLE>(wake->NativeHandle());
    count = 1;
  }
  // A wake signal without a handle is only looked at between messages, so
  // the wait then has an end.
  const DWORD timeoutMs = wake && count == 0 ? 100 : INFINITE;
  while (!done()) {
    // MWMO_INPUTAVAILABLE: messages that a nested loop (a message box) saw
    // but left in the queue also end the wait.
    MsgWaitForMultipleObjectsEx(count, count ? handles : nullptr, timeoutMs, QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
    PumpMessages();
  }
}

void MainWindow::PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (about_ && IsDialogMessageW(about_, &message)) continue;
    if (window_ && IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void MainWindow::Finish() {
  if (finished_.exchange(true)) return;
  target_ = nullptr;
  // From here on a report goes straight to the log; what was posted before
  // is handled now, so no block is left in the queue of a destroyed window.
  PumpMessages();
  LogDropped(droppedBytes_.exchange(0));
  if (trayWanted_) {
    trayWanted_ = false;
    Notify(NIM_DELETE, 0);
  }
  if (about_) {
    DestroyWindow(about_);
    about_ = nullptr;
  }
  if (window_) {
    DestroyWindow(window_);  // and the worker window, its child
    window_ = nullptr;
    worker_ = nullptr;
    textBox_ = nullptr;
  }
  PumpMessages();
}

LRESULT CALLBACK MainWindow::MainProcedure(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  if (!self && creatingWindow) {
    self = creatingWindow;
    self->window_ = window;
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
  }
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  return self->Handle(window, message, wParam, lParam);
}

INT_PTR CALLBACK MainWindow::WorkerProcedure(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  (void)wParam;
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    return FALSE;
  }
  if (message != kWorkerClose && message != kWorkerStopConnection && message != kWorkerReload)
    return FALSE;
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self && self->sources_.workerRequest) self->sources_.workerRequest(message);
  // A sender of the message gets TRUE as well.
  SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
  return TRUE;
}

LRESULT MainWindow::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_MOVE:
      if (IsIconic(window)) {
        windowShown_ = false;
        ShowWindow(window, SW_HIDE);
      }
      return 0;
    case WM_SIZE:
      if (textBox_) MoveWindow(textBox_, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_CLOSE:
      // Closing only hides: the program ends from the tray menu.
      ShowWindow(window, SW_HIDE);
      windowShown_ = false;
      return 0;
    case WM_QUERYENDSESSION:
      // Only a question: another program may still cancel the log-off, and
      // the recording goes on until the session really ends.
      return TRUE;
    case WM_ENDSESSION:
      // The system may end the process as soon as this returns: the last
      // records are stored, FlagCRLF written back and the close logged
      // first. A cancelled log-off (FALSE) changes nothing.
      if (wParam && sources_.stopToEnd) sources_.stopToEnd();
      return 0;
    case WM_TIMER:
      if (settings_.boxesToLog && IsWarningId(static_cast<std::uint32_t>(wParam))) {
        KillTimer(window, wParam);
        flags_.WarningPending(static_cast<int>(wParam)) = false;
        return 0;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    case kStopToEndMessage:
      return sources_.stopToEnd && sources_.stopToEnd() ? kHandled : 0;
    case kQuitMessage:
      if (sources_.quit) sources_.quit();
      return kHandled;
    case kTrayMessage:
      TrayClick(static_cast<UINT>(lParam));
      return kHandled;
    case kIconChangedMessage:
      if (trayWanted_) Notify(NIM_MODIFY, NIF_ICON);
      return kHandled;
    case WM_COMMAND:
      Command(window, LOWORD(wParam), wParam, lParam);
      return 0;
    case kDisplayMessage: {
      // Setting the box's text costs the same for a line as for a screenful:
      // the display messages already waiting are taken along, applied one
      // by one to the text, and the box is set once.
      std::vector<std::unique_ptr<DisplayBlock>> blocks;
      blocks.emplace_back(reinterpret_cast<DisplayBlock*>(lParam));
      MSG next;
      while (blocks.size() < kMaxDisplayBatch &&
             PeekMessageW(&next, window, kDisplayMessage, kDisplayMessage, PM_REMOVE))
        blocks.emplace_back(reinterpret_cast<DisplayBlock*>(next.lParam));
      for (const auto& block : blocks)
        if (block) inFlightBytes_ -= block->text.size();
      Display(blocks);
      return kHandled;
    }
    case kSystemErrorMessage:
    case kErrorMessage:
    case kDebugMessage: {
      const std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
      WriteReport(ErrorLog(clock_, LogPath()), static_cast<Message>(message),
                  static_cast<std::uint32_t>(wParam),
                  text ? std::string_view(*text) : std::string_view());
      return kHandled;
    }
    case kWarningMessage:
      if (IsWarningId(static_cast<std::uint32_t>(wParam))) ShowWarning(static_cast<int>(wParam));
      return kHandled;
    default:
      // The shell started again: whatever it showed is gone.
      if (message == taskbarCreated_ && taskbarCreated_ != 0) trayOk_ = false;
      // An icon the shell did not take (not running yet, restarted) is
      // added again at the next message nobody handles here.
      if (!trayOk_ && trayWanted_) Notify(NIM_ADD, NIF_ICON | NIF_MESSAGE | NIF_TIP);
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// Display messages in their order; a null block is one whose text was
// dropped: the title still shows the new line count.
void MainWindow::Display(const std::vector<std::unique_ptr<DisplayBlock>>& blocks) {
  std::vector<std::string_view> chunks;
  for (const auto& block : blocks) {
    if (!block) continue;
    LogDropped(block->droppedBefore);
    if (!block->text.empty()) chunks.push_back(block->text);
  }
  if (!chunks.empty()) UpdateTextBox(chunks);
  std::string title =
      DisplayTitle(settings_.windowTitle, sources_.currentSite ? sources_.currentSite() : "",
                   sources_.lineCount ? sources_.lineCount() : 0);
  SetWindowTextW(window_, WideFromUtf8(title).c_str());
  {
    std::lock_guard lock(mutex_);
    displayedTitle_ = std::move(title);
  }
  if (trayWanted_) Notify(NIM_MODIFY, NIF_TIP);
}

void MainWindow::UpdateTextBox(const std::vector<std::string_view>& chunks) {
  if (!textBox_) return;
  SCROLLINFO scroll{};
  scroll.cbSize = sizeof scroll;
  scroll.fMask = SIF_ALL;
  GetScrollInfo(textBox_, SB_VERT, &scroll);
  const auto firstVisible =
      static_cast<long long>(SendMessageW(textBox_, EM_GETFIRSTVISIBLELINE, 0, 0));

  std::size_t removedLineEnds = 0;
  for (std::string_view chunk : chunks) {
    DisplayUpdate update = AppendToDisplay(shown_, chunk);
    removedLineEnds += update.removedLineEnds;
    shown_ = std::move(update.text);
  }
  // A single chunk longer than the box can hold: its end is shown.
  if (shown_.size() >= kDisplayLimitChars) {
    const auto cut = static_cast<std::ptrdiff_t>(shown_.size() - (kDisplayLimitChars - 1));
    removedLineEnds += static_cast<std::size_t>(std::count(shown_.begin(), shown_.begin() + cut, '\n'));
    shown_.erase(0, static_cast<std::size_t>(cut));
  }

  SendMessageW(textBox_, WM_SETREDRAW, FALSE, 0);
  SetWindowTextW(textBox_, WideFromDisplayBytes(shown_).c_str());
  // The view was at the end: it follows the text. Otherwise the user reads
  // older lines: they stay in view, however many lines left at the front.
  const long long atEndBelow = static_cast<long long>(scroll.nMax) -
                               static_cast<long long>(scroll.nPage) -
                               static_cast<long long>(scroll.nMin) - 1;
  if (atEndBelow < scroll.nPos) {
    const LRESULT lines = SendMessageW(textBox_, EM_GETLINECOUNT, 0, 0);
    SendMessageW(textBox_, EM_LINESCROLL, 0, lines);
  } else {
    const long long down = std::max(0LL, firstVisible - static_cast<long long>(removedLineEnds));
    SendMessageW(textBox_, EM_LINESCROLL, 0, static_cast<LPARAM>(down));
  }
  SendMessageW(textBox_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(textBox_, nullptr, TRUE);
}

void MainWindow::ShowWarning(int id) {
  flags_.WarningPending(id) = true;
  if (settings_.boxesToLog) {
    const std::string text =
        WarningText(id, sources_.spaceThresholdMb ? sources_.spaceThresholdMb() : 0);
    ErrorLog(clock_, LogPath()).WriteDebug(text);
    // The timer's id is the warning's: its end clears that flag.
    SetTimer(window_, static_cast<UINT_PTR>(id), settings_.warningRepeatMs, nullptr);
    return;
  }
  bool& open = boxOpen_[WarningIndex(id)];
  // Its box is on screen already: a sender that ignored the pending flag
  // does not get a second one.
  if (open) return;
  open = true;
  const std::string text =
      WarningText(id, sources_.spaceThresholdMb ? sources_.spaceThresholdMb() : 0);
  // Modal: its own loop keeps handling the window's other messages meanwhile.
  MessageBoxW(window_, WideFromUtf8(text).c_str(), WideFromUtf8(settings_.windowTitle).c_str(),
              MB_OK | MB_ICONEXCLAMATION);
  open = false;
  flags_.WarningPending(id) = false;
}


// ---------------------------------------------------------------------------
// The tray icon and its menu (main thread).

HICON MainWindow::TrayIconImage(TrayIcon icon) const {
  const std::size_t index = TrayImageIndex(icon);
  return index < trayImages_.size() ? trayImages_[index] : nullptr;
}

bool MainWindow::Notify(DWORD action, UINT flags) {
  NOTIFYICONDATAW data{};
  // The first form of the record: every shell takes it, and its tip holds
  // the 63 characters the title is cut to.
  data.cbSize = NOTIFYICONDATAW_V1_SIZE;
  data.hWnd = window_;
  data.uID = kTrayIconId;
  data.uFlags = flags;
  data.uCallbackMessage = kTrayMessage;
  // Added again after the shell lost it, the icon shows the state the
  // worker is in, not idle: the user reads from it whether records flow.
  data.hIcon = TrayIconImage(icon_);
  const std::wstring tip = WideFromUtf8(DisplayedTitle()).substr(0, kTrayTipChars);
  tip.copy(data.szTip, kTrayTipChars);
  trayOk_ = settings_.shellNotify(action, data);
  return trayOk_;
}

void MainWindow::AddTrayIcon() {
  trayWanted_ = true;
  Notify(NIM_ADD, NIF_ICON | NIF_MESSAGE | NIF_TIP);
}

MainWindow::TrayMenu MainWindow::BuildTrayMenu() const {
  TrayMenu menu;
  menu.loaded = LoadMenuW(settings_.instance, MAKEINTRESOURCEW(IDM_TRAY));
  if (!menu.loaded) return menu;
  menu.popup = GetSubMenu(menu.loaded, 0);
  menu.sites = CreatePopupMenu();
  if (!menu.popup || !menu.sites) {
    if (menu.sites) DestroyMenu(menu.sites);
    DestroyMenu(menu.loaded);
    return {};
  }
  // Made afresh from the configuration read last, so it follows every
  // reload; a site dropped from the schedule keeps its item, grayed.
  const SitesMenu sites = sources_.sitesMenu ? sources_.sitesMenu() : SitesMenu{};
  for (const SitesMenuItem& site : sites) {
    std::wstring text = WideFromUtf8(site.text);
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_STRING | MIIM_DATA | MIIM_STATE;
    item.wID = static_cast<UINT>(site.id);
    item.dwItemData = static_cast<ULONG_PTR>(site.id);
    item.dwTypeData = text.data();
    item.fState = site.grayed ? MFS_GRAYED : MFS_ENABLED;
    InsertMenuItemW(menu.sites, GetMenuItemCount(menu.sites), TRUE, &item);
  }
  MENUITEMINFOW start{};
  start.cbSize = sizeof start;
  start.fMask = MIIM_SUBMENU;
  start.hSubMenu = menu.sites;
  SetMenuItemInfoW(menu.popup, IDM_START, FALSE, &start);  // the menu now owns it
  EnableMenuItem(menu.popup, IDM_START, MF_BYCOMMAND | (startEnabled_ ? MF_ENABLED : MF_GRAYED));
  EnableMenuItem(menu.popup, IDM_STOP, MF_BYCOMMAND | (stopEnabled_ ? MF_ENABLED : MF_GRAYED));
  return menu;
}

void MainWindow::TrayClick(UINT mouseMessage) {
  switch (mouseMessage) {
    case WM_LBUTTONDOWN: {
      if (windowShown_ || flags_.quit) return;
      POINT cursor{};
      GetCursorPos(&cursor);
      RECT frame{};
      GetWindowRect(window_, &frame);
      const int width = frame.right - frame.left;
      const int height = frame.bottom - frame.top;
      const HDC screen = GetDC(nullptr);
      const int screenWidth = GetDeviceCaps(screen, HORZRES);
      const int screenHeight = GetDeviceCaps(screen, VERTRES);
      ReleaseDC(nullptr, screen);
      // Beside the cursor, inside the screen.
      int x = cursor.x;
      int y = cursor.y;
      if (x + width > screenWidth) x -= width;
      if (y + height > screenHeight) y -= height;
      MoveWindow(window_, std::max(x, 0), std::max(y, 0), width, height, TRUE);
      if (noVisible_ == 1) return;
      ShowWindow(window_, SW_SHOWNORMAL);
      windowShown_ = true;
      SetForegroundWindow(window_);
      return;
    }
    case WM_RBUTTONUP: {
      if (menuBusy_ || flags_.quit) return;
      POINT cursor{};
      GetCursorPos(&cursor);
      // Foreground first, or the menu would not close when the user
      // clicks elsewhere.
      SetForegroundWindow(window_);
      const TrayMenu menu = BuildTrayMenu();
      if (!menu.popup) return;
      const UINT chosen = static_cast<UINT>(TrackPopupMenu(
          menu.popup, TPM_RETURNCMD | TPM_RIGHTALIGN, cursor.x, cursor.y, 0, window_, nullptr));
      DestroyMenu(menu.loaded);
      PostMessageW(window_, WM_COMMAND, chosen, 0);
      return;
    }
    default:
      return;
  }
}

void MainWindow::Command(HWND window, UINT id, WPARAM wParam, LPARAM lParam) {
  SetFocus(window);
  const std::size_t sites = sources_.sitesMenu ? sources_.sitesMenu().size() : 0;
  if (id >= IDM_FIRST_SITE && id < IDM_FIRST_SITE + sites) {
    // The worker finds the site by its item and serves it at its next look
    // at the schedule; the site list is the worker's.
    if (sources_.startSite) sources_.startSite(id);
    DefWindowProcW(window, WM_COMMAND, wParam, lParam);
    return;
  }
  switch (id) {
    case IDM_EXIT: {
      const std::wstring text = WideFromUtf8(MessageText(msg::kQuitQuestion));
      if (MessageBoxW(window_, text.c_str(), WideFromUtf8(settings_.windowTitle).c_str(),
                      MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK &&
          sources_.quit)
        sources_.quit();
      return;
    }
    case IDM_ABOUT:
      OpenAbout();
      return;
    case IDM_CONFIGURE:
      RunConfigurationProgram();
      return;
    case IDM_STOP:
      StopConnection();
      return;
    default:
      DefWindowProcW(window, WM_COMMAND, wParam, lParam);
      return;
  }
}

void MainWindow::StopConnection() {
  EnableMenuItems(false, false);
  flags_.stop = true;
  // The worker ends the connection and, for a continuous first site, keeps
  // it off until it is chosen again.
  if (sources_.workerRequest) sources_.workerRequest(kWorkerStopConnection);
}

void MainWindow::OpenAbout() {
  if (menuBusy_) return;
  menuBusy_ = true;
  about_ = CreateDialogParamW(settings_.instance, MAKEINTRESOURCEW(IDD_ABOUT), window_,
                              AboutProcedure, reinterpret_cast<LPARAM>(this));
  if (!about_) menuBusy_ = false;
}

INT_PTR CALLBACK MainWindow::AboutProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(window, DWLP_USER, lParam);
      SetWindowTextW(window, WideFromUtf8(MessageText(msg::kAboutCaption)).c_str());
      SetDlgItemTextW(window, IDOK, L"OK");
      ShowWindow(window, SW_SHOWNORMAL);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, DWLP_USER));
        DestroyWindow(window);
        if (self) {
          self->about_ = nullptr;
          self->menuBusy_ = false;
        }
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

void MainWindow::RunConfigurationProgram() {
  if (menuBusy_) return;
  menuBusy_ = true;
  std::wstring path = WideFromUtf8(settings_.configProgram);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE,
                     CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                     &startup, &process)) {
    CloseHandle(process.hThread);
    // The window stays responsive meanwhile: its messages are handled as
    // they come, the program's end ends the wait. An orderly stop does not
    // wait for the user to close an editor.
    while (!flags_.quit) {
      const DWORD woken = MsgWaitForMultipleObjectsEx(1, &process.hProcess, INFINITE,
                                                      QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
      PumpMessages();
    }
    CloseHandle(process.hProcess);
  } else {
    // Nothing to wait for; the log says why nothing opened.
    const DWORD error = GetLastError();
    ErrorLog(clock_, LogPath())
        .WriteDebug("Impossibile avviare " + settings_.configProgram + ": " +
                    SystemErrorText(error));
  }
  menuBusy_ = false;
  // The file may have changed: the worker reads it again.
  if (sources_.workerRequest) sources_.workerRequest(kWorkerReload);
}

}  // namespace vr
