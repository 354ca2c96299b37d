// VRECCFG.EXE: the configuration program of the Windows recorder. Opens
// VESPREC.INI (beside the program) in Notepad, or in the editor named by the
// EDITOR environment variable, waits until it is closed, then reads the
// file with the recorder's own readers and shows every problem, with the
// recorder's own messages, in one box. "&Configura..." in the tray menu
// starts it and has the recorder read the file again once it has ended.
//
// Exit code: 0 the configuration is usable, 1 it has problems, 2 the editor
// could not be run.

#include <windows.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "app/check.h"
#include "base/clock.h"
#include "base/path.h"
#include "base/wide_text_win32.h"
#include "config/settings.h"

namespace {

constexpr const wchar_t* kCaption = L"Vesper Recorder - VESPREC.INI";

// A box can show only so much; the rest is said to be in the file check.
constexpr std::size_t kMaxShownChars = 6000;

std::wstring EditorCommand(const std::wstring& file) {
  std::wstring editor = L"notepad.exe";
  if (const wchar_t* chosen = _wgetenv(L"EDITOR"); chosen && *chosen) editor = chosen;
  // The editor's own options may follow its name ("prog.exe /x"); the file
  // is quoted, for a folder with blanks.
  return editor + L" \"" + file + L"\"";
}

// The editor's exit code, or -1 when it could not be started.
long RunEditor(const std::wstring& file, DWORD& error) {
  std::wstring command = EditorCommand(file);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    error = GetLastError();
    return -1;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<long>(code);
}

std::wstring SystemText(DWORD error) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring result = text ? text : L"";
  if (text) LocalFree(text);
  return result;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::string dir = vr::ExecutableDirectory();
  const std::wstring file = vr::WideFromUtf8(vr::JoinPath(dir, vr::kConfigFileName));

  DWORD error = 0;
  if (RunEditor(file, error) < 0) {
    const std::wstring text = L"Impossibile avviare l'editor per " + file + L":\n" +
                              SystemText(error) + L"\n(EDITOR: " +
                              EditorCommand(file) + L")";
    MessageBoxW(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONHAND);
    return 2;
  }

  std::ostringstream problems;
  std::ostringstream hints;
  vr::SystemClock clock;
  const int status = vr::RunConfigurationCheck(dir, problems, hints, clock);
  if (status != 0) {
    std::wstring text = vr::WideFromUtf8(problems.str() + hints.str());
    if (text.size() > kMaxShownChars)
      text = text.substr(0, kMaxShownChars) + L"\n...";
    text = L"VESPREC.INI:\n\n" + text;
    MessageBoxW(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONEXCLAMATION);
  }
  return status;
}
