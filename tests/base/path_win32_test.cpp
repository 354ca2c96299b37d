// The program's folder is found whatever characters its name holds: a copy
// of this test program, run from a folder named outside the ANSI code page,
// reports the folder that it was started from.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/path.h"
#include "support/non_ascii_dir_win32.h"

namespace vr {
namespace {

constexpr const wchar_t* kReportVariable = L"VR_TEST_EXECUTABLE_DIRECTORY_REPORT";
constexpr DWORD kChildPatienceMs = 120'000;  // Wine starts a program in a few seconds

// The copy's part: it writes what it finds into the file that the variable
// names. Without the variable (any ordinary run) there is nothing to do.
TEST(ExecutableDirectory, ReportsItsFolderWhenAsked) {
  wchar_t report[MAX_PATH + 1] = {};
  if (GetEnvironmentVariableW(kReportVariable, report, MAX_PATH) == 0)
    GTEST_SKIP() << "only the copy that FindsAFolderNamedOutsideTheAnsiCodePage runs reports";
  std::ofstream(std::filesystem::path(report), std::ios::binary) << ExecutableDirectory();
}

TEST(ExecutableDirectory, FindsAFolderNamedOutsideTheAnsiCodePage) {
  test::NonAsciiDir dir;
  wchar_t self[MAX_PATH + 1] = {};
  ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  const std::wstring copy = dir.WideFile("base_tests.exe");
  ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE)) << GetLastError();

  const std::wstring report = dir.WideFile("report.txt");
  ASSERT_TRUE(SetEnvironmentVariableW(kReportVariable, report.c_str()));
  std::wstring command =
      L"\"" + copy + L"\" --gtest_filter=ExecutableDirectory.ReportsItsFolderWhenAsked";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(copy.c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                                      nullptr, nullptr, &startup, &process);
  const DWORD startError = GetLastError();
  SetEnvironmentVariableW(kReportVariable, nullptr);
  ASSERT_TRUE(started) << startError;
  CloseHandle(process.hThread);
  const DWORD waited = WaitForSingleObject(process.hProcess, kChildPatienceMs);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "the copy did not end";
  EXPECT_EQ(exitCode, 0u);

  EXPECT_TRUE(dir.Utf8().ends_with("\\Contabilit\xC3\xA0")) << dir.Utf8();
  EXPECT_EQ(dir.Read("report.txt"), dir.Utf8());
}

// The standard library's file functions reach the same folder by its UTF-8
// name (the profile and the configuration check use them).
TEST(FileSystemPath, NamesAFolderOutsideTheAnsiCodePage) {
  test::NonAsciiDir dir;
  dir.Write("VESPREC.INI", "[General]\r\n");
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::exists(FileSystemPath(dir.Utf8File("VESPREC.INI")), ec));
  EXPECT_EQ(std::filesystem::file_size(FileSystemPath(dir.Utf8File("VESPREC.INI")), ec), 11u);
}

}  // namespace
}  // namespace vr
