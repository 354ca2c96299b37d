// vrtool.exe: a second Windows program that the Wine end-to-end tests run in
// the recorder's Wine prefix, to look at VESPREC.EXE from the outside as
// another process would: find its windows, read their texts, post messages
// to them, read and close its message boxes, and check who has the
// foreground. It also opens a COM port itself, to prove that the prefix's
// COM link reaches the simulator.
//
//   vrtool [--exe PATH] [--class NAME] [--timeout MS] COMMAND [ARGS...]
//
// --exe keeps only windows of processes started from PATH (each test runs
// its own copy of VESPREC.EXE, so windows of other programs in the prefix
// never count). Queries look again every 100 ms until they succeed or
// --timeout has passed (default: one look). Texts are printed in UTF-8, one
// item a line; in a box's text CR and LF are printed as \r and \n.
//
// Exit status: 0 done, 1 not found or not so before the time-out, 2 usage
// or system error.
//
// Boxes print as HANDLE OWNER CAPTION TEXT, tab-separated.

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Options {
  std::wstring exe;              // empty: any process
  std::wstring cls = L"VRecClass";
  DWORD timeoutMs = 0;
};

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

// Straight to the handle: the C runtime's text mode would turn LF into CR LF.
void Out(const std::string& text) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    if (!WriteFile(out, text.data() + at, static_cast<DWORD>(text.size() - at), &written,
                   nullptr) ||
        written == 0) {
      return;
    }
    at += written;
  }
}
void OutLine(const std::wstring& text) { Out(Utf8(text) + "\n"); }

void Err(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("vrtool: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputs("\n", stderr);
  va_end(args);
}

std::wstring Escaped(const std::wstring& text) {
  std::wstring out;
  for (const wchar_t c : text) {
    if (c == L'\r') {
      out += L"\\r";
    } else if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'\\') {
      out += L"\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

// The window's text as the system keeps it; no message to the window.
std::wstring TitleOf(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return text;
}

// A control's text through WM_GETTEXT, which the system carries across
// processes; an edit control answers it with its whole contents.
bool ControlText(HWND control, std::wstring& text) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    return false;
  }
  std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(control, WM_GETTEXT, static_cast<WPARAM>(buffer.size()),
                           reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, 5000, &got)) {
    return false;
  }
  buffer.resize(static_cast<std::size_t>(got));
  text = buffer;
  return true;
}

std::wstring ImageOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return {};
  wchar_t path[MAX_PATH * 2] = {};
  DWORD size = MAX_PATH * 2;
  std::wstring image;
  if (QueryFullProcessImageNameW(process, 0, path, &size)) image.assign(path, size);
  CloseHandle(process);
  return image;
}

bool OfOurProcess(const Options& options, HWND window) {
  return options.exe.empty() || _wcsicmp(ImageOf(window).c_str(), options.exe.c_str()) == 0;
}

struct TopLevelSearch {
  const Options* options;
  std::wstring cls;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<TopLevelSearch*>(context);
  if (ClassOf(window) == search->cls && OfOurProcess(*search->options, window)) {
    search->found.push_back(window);
  }
  return TRUE;
}

std::vector<HWND> TopLevel(const Options& options, const std::wstring& cls) {
  TopLevelSearch search{&options, cls, {}};
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM context) {
  reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
  return TRUE;
}

// Every descendant, hidden ones too.
std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

// Calls look() until it is true or the time-out has passed.
template <typename Look>
bool Poll(const Options& options, Look look) {
  const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
  for (;;) {
    if (look()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(100);
  }
}

// The main window: the first top-level window of the class (and process).
HWND MainWindow(const Options& options) {
  HWND window = nullptr;
  Poll(options, [&] {
    const std::vector<HWND> found = TopLevel(options, options.cls);
    window = found.empty() ? nullptr : found.front();
    return window != nullptr;
  });
  if (!window) Err("no window of class %s", Utf8(options.cls).c_str());
  return window;
}

std::wstring Hex(HWND window) {
  wchar_t text[32];
  std::swprintf(text, 32, L"0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
  return text;
}

HWND ParseHandle(const wchar_t* text) {
  return reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::wcstoull(text, nullptr, 0)));
}

unsigned long long Number(const wchar_t* text) { return std::wcstoull(text, nullptr, 0); }

// A message box: a top-level dialog (#32770) whose static texts are its message.
struct Box {
  HWND window;
  std::wstring caption;
  std::wstring text;  // the non-empty static texts, joined by LF
};

std::vector<Box> Boxes(const Options& options) {
  std::vector<Box> boxes;
  for (HWND box : TopLevel(options, L"#32770")) {
    Box entry{box, TitleOf(box), {}};
    for (HWND child : Children(box)) {
      if (_wcsicmp(ClassOf(child).c_str(), L"Static") != 0) continue;
      std::wstring text;
      if (!ControlText(child, text) || text.empty()) continue;
      if (!entry.text.empty()) entry.text += L"\n";
      entry.text += text;
    }
    boxes.push_back(entry);
  }
  return boxes;
}

void PrintBox(const Box& box) {
  OutLine(Hex(box.window) + L"\t" + Hex(GetWindow(box.window, GW_OWNER)) + L"\t" +
          Escaped(box.caption) + L"\t" + Escaped(box.text));
}

bool Matches(const Box& box, const std::wstring& caption, const std::wstring& part) {
  return (caption.empty() || box.caption == caption) && box.text.find(part) != std::wstring::npos;
}

// --- Commands ---

int Find(const Options& options) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  OutLine(Hex(window));
  return 0;
}

int Count(const Options& options) {
  OutLine(std::to_wstring(TopLevel(options, options.cls).size()));
  return 0;
}

int Title(const Options& options) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  OutLine(TitleOf(window));
  return 0;
}

int WaitTitle(const Options& options, const std::wstring& wanted) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  std::wstring title;
  const bool ok = Poll(options, [&] {
    title = TitleOf(window);
    return title == wanted;
  });
  OutLine(title);
  return ok ? 0 : 1;
}

int EditText(const Options& options, int id) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  HWND control = GetDlgItem(window, id);
  std::wstring text;
  if (!control || !ControlText(control, text)) {
    Err("no readable item %d in the window", id);
    return 1;
  }
  Out(Utf8(text));
  return 0;
}

int ListChildren(const Options& options) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  for (HWND child : Children(window)) {
    OutLine(Hex(child) + L"\t" + ClassOf(child) + L"\t" +
            (IsWindowVisible(child) ? L"visible" : L"hidden") + L"\t" +
            std::to_wstring(GetDlgCtrlID(child)) + L"\t" + Escaped(TitleOf(child)));
  }
  return 0;
}

// A direct child whose text is exactly `text`: how a second instance of the
// recorder recognises the first one's worker window.
int FindChild(const Options& options, const std::wstring& text) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  HWND match = nullptr;
  Poll(options, [&] {
    for (HWND child : Children(window)) {
      if (GetParent(child) == window && TitleOf(child) == text) {
        match = child;
        return true;
      }
    }
    return false;
  });
  if (!match) return 1;
  OutLine(Hex(match) + L"\t" + ClassOf(match) + L"\t" +
          (IsWindowVisible(match) ? L"visible" : L"hidden"));
  return 0;
}

int Post(const Options& options, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  if (!PostMessageW(window, message, wParam, lParam)) {
    Err("PostMessage failed: %lu", GetLastError());
    return 2;
  }
  return 0;
}

// SendMessage to the main window: returns only once the window procedure
// has returned, and prints its answer. Then, at once, copies each FROM to
// its TO: what the files held when the answer came, before the recorder
// could go on with anything the handler left to do.
int Send(const Options& options, UINT message, WPARAM wParam, LPARAM lParam,
         const std::vector<std::wstring>& copies) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  DWORD_PTR answer = 0;
  // Long enough for any handler; a hung one is a failure, not a hung test.
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 120000, &answer)) {
    Err("SendMessage failed: %lu", GetLastError());
    return 2;
  }
  for (std::size_t i = 0; i + 1 < copies.size(); i += 2) {
    if (!CopyFileW(copies[i].c_str(), copies[i + 1].c_str(), FALSE)) {
      Err("CopyFile failed: %lu", GetLastError());
      return 2;
    }
  }
  OutLine(std::to_wstring(static_cast<long long>(answer)));
  return 0;
}

int Visible(const Options& options) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  OutLine(IsWindowVisible(window) ? L"1" : L"0");
  return 0;
}

int WaitVisible(const Options& options, bool wanted) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  return Poll(options, [&] { return (IsWindowVisible(window) != FALSE) == wanted; }) ? 0 : 1;
}

int Show(const Options& options, int command) {
  HWND window = MainWindow(options);
  if (!window) return 1;
  ShowWindowAsync(window, command);
  return 0;
}

// The foreground window, whoever owns it: handle, class, title.
int Foreground() {
  HWND window = GetForegroundWindow();
  if (!window) {
    OutLine(L"0x0\t\t");
    return 1;
  }
  OutLine(Hex(window) + L"\t" + ClassOf(window) + L"\t" + Escaped(TitleOf(window)));
  return 0;
}

LRESULT CALLBACK HolderProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

// Shows a window of its own and takes the foreground with it, prints its
// handle once it has it, and keeps it for `ms`: the recorder's window can
// only be seen to come forward when something else was in front.
int HoldForeground(DWORD ms) {
  WNDCLASSW cls = {};
  cls.lpfnWndProc = HolderProcedure;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.lpszClassName = L"VRToolHolder";
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  RegisterClassW(&cls);
  HWND window = CreateWindowExW(0, cls.lpszClassName, L"vrtool holds the foreground",
                                WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300, 200, nullptr,
                                nullptr, cls.hInstance, nullptr);
  if (!window) {
    Err("cannot create a window: %lu", GetLastError());
    return 2;
  }
  SetForegroundWindow(window);
  const ULONGLONG until = GetTickCount64() + ms;
  bool told = false;
  while (GetTickCount64() < until) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (!told && GetForegroundWindow() == window) {
      OutLine(Hex(window));
      told = true;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  DestroyWindow(window);
  return told ? 0 : 1;
}

int ListBoxes(const Options& options) {
  for (const Box& box : Boxes(options)) PrintBox(box);
  return 0;
}

// Waits for a box whose text holds `part` (and whose caption is `caption`
// unless that is empty); prints it.
int WaitBox(const Options& options, const std::wstring& caption, const std::wstring& part) {
  Box match{};
  const bool ok = Poll(options, [&] {
    for (const Box& box : Boxes(options)) {
      if (Matches(box, caption, part)) {
        match = box;
        return true;
      }
    }
    return false;
  });
  if (ok) PrintBox(match);
  return ok ? 0 : 1;
}

int CountBoxes(const Options& options, const std::wstring& caption, const std::wstring& part) {
  int count = 0;
  for (const Box& box : Boxes(options)) {
    if (Matches(box, caption, part)) ++count;
  }
  OutLine(std::to_wstring(count));
  return 0;
}

// Presses a button of the box as a user would: the button's command to the
// box, which ends a message box with that id (IDOK 1, IDCANCEL 2).
int PressButton(HWND box, int id) {
  if (!IsWindow(box)) {
    Err("no such window");
    return 1;
  }
  HWND button = GetDlgItem(box, id);
  if (!PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                    reinterpret_cast<LPARAM>(button))) {
    Err("PostMessage failed: %lu", GetLastError());
    return 2;
  }
  return 0;
}

int MoveCursor(int x, int y) {
  if (!SetCursorPos(x, y)) {
    Err("SetCursorPos failed: %lu", GetLastError());
    return 1;
  }
  return 0;
}

// An editor for VRECCFG.EXE that needs no user: it replaces the file it is
// given with another.
int CopyFileOver(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
    Err("CopyFile failed: %lu", GetLastError());
    return 1;
  }
  return 0;
}

int WaitGone(const Options& options, HWND window) {
  return Poll(options, [&] { return !IsWindow(window); }) ? 0 : 1;
}

// Opens a COM port as the recorder does (overlapped), reads until `bytes`
// have come or the time-out has passed, and prints what came.
int ComRead(const Options& options, const std::wstring& port, DWORD bytes) {
  const std::wstring path = L"\\\\.\\" + port;
  HANDLE line = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (line == INVALID_HANDLE_VALUE) {
    Err("cannot open %s: %lu", Utf8(path).c_str(), GetLastError());
    return 2;
  }
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  if (GetCommState(line, &dcb)) {
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    SetCommState(line, &dcb);
  }
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadTotalTimeoutConstant = 500;
  SetCommTimeouts(line, &timeouts);
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::string got;
  const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
  while (got.size() < bytes && GetTickCount64() < deadline) {
    char buffer[512];
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof buffer, bytes - got.size()));
    DWORD read = 0;
    ResetEvent(overlapped.hEvent);
    if (!ReadFile(line, buffer, want, &read, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING) {
        Err("read failed: %lu", GetLastError());
        break;
      }
      if (!GetOverlappedResult(line, &overlapped, &read, TRUE)) {
        Err("read failed: %lu", GetLastError());
        break;
      }
    }
    got.append(buffer, read);
  }
  CloseHandle(overlapped.hEvent);
  CloseHandle(line);
  Out(got);
  return got.size() >= bytes ? 0 : 1;
}

int Usage() {
  std::fputs(
      "usage: vrtool [--exe PATH] [--class NAME] [--timeout MS] COMMAND [ARGS...]\n"
      "  find                      the main window's handle\n"
      "  count                     how many top-level windows of the class there are\n"
      "  title                     its title\n"
      "  wait-title TEXT           until the title is TEXT; prints the last title\n"
      "  edit-text [ID]            the text of dialog item ID (13) by WM_GETTEXT\n"
      "  children                  its child windows: handle, class, visibility, id, text\n"
      "  find-child TEXT           a direct child whose text is TEXT\n"
      "  post MSG [WPARAM [LPARAM]]  PostMessage to the main window\n"
      "  send MSG WPARAM LPARAM [FROM TO]...  SendMessage to it, print its answer, then\n"
      "                            copy each FROM to TO at once\n"
      "  visible                   1 when the main window is visible, else 0\n"
      "  wait-visible 0|1          until its visibility is so\n"
      "  show SW                   ShowWindowAsync(main window, SW)\n"
      "  foreground                the foreground window: handle, class, title\n"
      "  hold-foreground MS        a window of its own in front for MS ms\n"
      "  boxes                     the #32770 boxes: handle, owner, caption, text\n"
      "  wait-box CAPTION TEXT     until a box with CAPTION (any if empty) holds TEXT\n"
      "  count-boxes CAPTION TEXT  how many such boxes there are\n"
      "  close-box HANDLE          press the box's OK button\n"
      "  press HANDLE ID           press the box's button ID (1 OK, 2 Cancel)\n"
      "  copy-file FROM TO         copy FROM over TO (an editor that needs nobody)\n"
      "  cursor X Y                move the mouse cursor to X, Y\n"
      "  wait-gone HANDLE          until the window no longer exists\n"
      "  com-read PORT BYTES       open PORT, print up to BYTES bytes read from it\n",
      stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  int at = 1;
  for (; at < argc; ++at) {
    const std::wstring arg = argv[at];
    if (arg == L"--exe" && at + 1 < argc) {
      options.exe = argv[++at];
    } else if (arg == L"--class" && at + 1 < argc) {
      options.cls = argv[++at];
    } else if (arg == L"--timeout" && at + 1 < argc) {
      options.timeoutMs = static_cast<DWORD>(Number(argv[++at]));
    } else {
      break;
    }
  }
  if (at >= argc) return Usage();
  const std::wstring command = argv[at++];
  const int rest = argc - at;
  wchar_t** args = argv + at;

  if (command == L"find" && rest == 0) return Find(options);
  if (command == L"count" && rest == 0) return Count(options);
  if (command == L"title" && rest == 0) return Title(options);
  if (command == L"wait-title" && rest == 1) return WaitTitle(options, args[0]);
  if (command == L"edit-text" && rest <= 1) {
    return EditText(options, rest == 1 ? static_cast<int>(Number(args[0])) : 13);
  }
  if (command == L"children" && rest == 0) return ListChildren(options);
  if (command == L"find-child" && rest == 1) return FindChild(options, args[0]);
  if (command == L"post" && rest >= 1 && rest <= 3) {
    return Post(options, static_cast<UINT>(Number(args[0])),
                rest >= 2 ? static_cast<WPARAM>(Number(args[1])) : 0,
                rest >= 3 ? static_cast<LPARAM>(Number(args[2])) : 0);
  }
  if (command == L"send" && rest >= 3 && (rest - 3) % 2 == 0) {
    return Send(options, static_cast<UINT>(Number(args[0])), static_cast<WPARAM>(Number(args[1])),
                static_cast<LPARAM>(Number(args[2])),
                std::vector<std::wstring>(args + 3, args + rest));
  }
  if (command == L"visible" && rest == 0) return Visible(options);
  if (command == L"wait-visible" && rest == 1) return WaitVisible(options, Number(args[0]) != 0);
  if (command == L"show" && rest == 1) return Show(options, static_cast<int>(Number(args[0])));
  if (command == L"foreground" && rest == 0) return Foreground();
  if (command == L"hold-foreground" && rest == 1) {
    return HoldForeground(static_cast<DWORD>(Number(args[0])));
  }
  if (command == L"boxes" && rest == 0) return ListBoxes(options);
  if (command == L"wait-box" && rest == 2) return WaitBox(options, args[0], args[1]);
  if (command == L"count-boxes" && rest == 2) return CountBoxes(options, args[0], args[1]);
  if (command == L"close-box" && rest == 1) return PressButton(ParseHandle(args[0]), IDOK);
  if (command == L"press" && rest == 2) {
    return PressButton(ParseHandle(args[0]), static_cast<int>(Number(args[1])));
  }
  if (command == L"copy-file" && rest == 2) return CopyFileOver(args[0], args[1]);
  if (command == L"cursor" && rest == 2) {
    return MoveCursor(static_cast<int>(Number(args[0])), static_cast<int>(Number(args[1])));
  }
  if (command == L"wait-gone" && rest == 1) return WaitGone(options, ParseHandle(args[0]));
  if (command == L"com-read" && rest == 2) {
    return ComRead(options, args[0], static_cast<DWORD>(Number(args[1])));
  }
  return Usage();
}
