#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "app/control_events_win32.h"
#include "base/clock.h"
#include "base/flags.h"
#include "base/path.h"
#include "ui/main_window_win32.h"

namespace vr {
namespace {

constexpr std::chrono::seconds kPatience{10};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The service log's lines from this point on.
class ServiceLogTail {
 public:
  ServiceLogTail()
      : path_(CCorvinaServiceNT::Instance().LogPath()), start_(ReadFile(path_).size()) {}
  std::string Added() const { return ReadFile(path_).substr(start_); }

 private:
  std::string path_;
  std::size_t start_;
};

std::string LinePattern(const std::string& escapedMessage) {
  return "\\(" + std::to_string(GetCurrentProcessId()) + "\\) \\d\\d:\\d\\d:\\d\\d " +
         escapedMessage + "\r\n";
}

TEST(WindowsNtTest, OnlyWindows95To98AndMeAreNot) {
  EXPECT_FALSE(IsWindowsNt({false, 0, 0, 0}));
  EXPECT_FALSE(IsWindowsNt({true, VER_PLATFORM_WIN32_WINDOWS, 4, 0}));
  EXPECT_FALSE(IsWindowsNt({true, VER_PLATFORM_WIN32_WINDOWS, 4, 10}));
  EXPECT_FALSE(IsWindowsNt({true, VER_PLATFORM_WIN32_WINDOWS, 4, 90}));
  EXPECT_TRUE(IsWindowsNt({true, VER_PLATFORM_WIN32_WINDOWS, 4, 3}));
  EXPECT_TRUE(IsWindowsNt({true, VER_PLATFORM_WIN32_WINDOWS, 5, 0}));
  EXPECT_TRUE(IsWindowsNt({true, VER_PLATFORM_WIN32_NT, 4, 0}));
  EXPECT_TRUE(IsWindowsNt({true, VER_PLATFORM_WIN32_NT, 10, 0}));
  EXPECT_TRUE(IsWindowsNt({true, VER_PLATFORM_WIN32s, 3, 1}));
}

TEST(ControlEventTest, EachTypeHasItsTextAndAnswer) {
  struct Case {
    DWORD type;
    const char* text;
    BOOL handled;
    bool stopToEnd;
  };
  const Case cases[] = {
      {CTRL_C_EVENT, "CCorvinaServiceNT LogOffCtrlHandler CTRL_C_EVENT", TRUE, false},
      {CTRL_BREAK_EVENT, "CCorvinaServiceNT LogOffCtrlHandler CTRL_BREAK_EVENT", FALSE, false},
      {CTRL_CLOSE_EVENT, "CCorvinaServiceNT LogOffCtrlHandler CTRL_CLOSE_EVENT", FALSE, false},
      {CTRL_LOGOFF_EVENT, "CCorvinaServiceNT LogOffCtrlHandler CTRL_LOGOFF_EVENT", FALSE, true},
      {CTRL_SHUTDOWN_EVENT, "CCorvinaServiceNT LogOffCtrlHandler CTRL_SHUTDOWN_EVENT", FALSE,
       true},
      {3, "CCorvinaServiceNT LogOffCtrlHandler default", FALSE, false},
      {4, "CCorvinaServiceNT LogOffCtrlHandler default", FALSE, false},
      {7, "CCorvinaServiceNT LogOffCtrlHandler default", FALSE, false},
  };
  for (const Case& c : cases) {
    const ControlEventReaction reaction = ReactionTo(c.type);
    EXPECT_STREQ(reaction.message, c.text) << c.type;
    EXPECT_EQ(reaction.handled, c.handled) << c.type;
    EXPECT_EQ(reaction.stopToEnd, c.stopToEnd) << c.type;
  }
}

TEST(ServiceObjectTest, LogsBesideTheExecutable) {
  EXPECT_EQ(CCorvinaServiceNT::Instance().LogPath(),
            ExecutableDirectory() + "\\CorvinaServiceNT.log");
}

int SecondOfDay(const SYSTEMTIME& t) { return t.wHour * 3600 + t.wMinute * 60 + t.wSecond; }

// The static object installed the handler while the program started, before
// any test ran: the log holds its line, from this process (a line of an
// earlier process that had the same id is older than this process).
TEST(ServiceObjectTest, InstalledTheHandlerAtStart) {
  ASSERT_TRUE(CCorvinaServiceNT::Instance().WindowsNt());
  const std::string log = ReadFile(CCorvinaServiceNT::Instance().LogPath());
  const std::regex installed(
      LinePattern("CCorvinaServiceNT::CCorvinaServiceNT SetConsoleCtrlHandler Partito"));
  const std::string ours = "(" + std::to_string(GetCurrentProcessId()) + ") ";
  std::string last;
  for (std::size_t start = 0; start < log.size();) {
    const std::size_t end = log.find('\n', start);
    if (end == std::string::npos) break;
    const std::string line = log.substr(start, end + 1 - start);
    if (line.starts_with(ours) && std::regex_match(line, installed)) last = line;
    start = end + 1;
  }
  ASSERT_FALSE(last.empty());
  const std::size_t stamp = ours.size();
  const int logged = std::stoi(last.substr(stamp, 2)) * 3600 +
                     std::stoi(last.substr(stamp + 3, 2)) * 60 + std::stoi(last.substr(stamp + 6, 2));
  FILETIME created{}, exited{}, kernel{}, user{};
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user));
  FILETIME createdLocal{};
  FileTimeToLocalFileTime(&created, &createdLocal);
  SYSTEMTIME start{};
  FileTimeToSystemTime(&createdLocal, &start);
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const int from = SecondOfDay(start);
  const int to = SecondOfDay(now);
  if (from <= to)
    EXPECT_TRUE(logged >= from && logged <= to) << last;
  else  // midnight passed meanwhile
    EXPECT_TRUE(logged >= from || logged <= to) << last;
}

TEST(ServiceObjectTest, LinesAreAnsiAndLineFeedsBecomeCrLf) {
  const ServiceLogTail tail;
  CCorvinaServiceNT::Instance().Log(control_events::kNotNt);
  CCorvinaServiceNT::Instance().Log(control_events::kNotInstalled);
  const std::string added = tail.Added();
  EXPECT_TRUE(std::regex_match(
      added,
      std::regex(LinePattern("CCorvinaServiceNT::CCorvinaServiceNT \\. Non \xE8 Windows NT\\. "
                             "LogOffCtrlHandler non impostato") +
                 LinePattern("CCorvinaServiceNT::CCorvinaServiceNT Impossibile impostare il "
                             "control handler per il logoff\\.\r\nNon arriveranno i messaggi "
                             "della chiusura do windows\\."))))
      << added;
}

TEST(ControlHandlerTest, CtrlCIsHandledOtherEventsPassOn) {
  const ServiceLogTail tail;
  EXPECT_EQ(CCorvinaServiceNT::LogOffCtrlHandler(CTRL_C_EVENT), TRUE);
  EXPECT_EQ(CCorvinaServiceNT::LogOffCtrlHandler(CTRL_LOGOFF_EVENT), FALSE);
  EXPECT_EQ(CCorvinaServiceNT::LogOffCtrlHandler(9), FALSE);
  EXPECT_TRUE(std::regex_match(
      tail.Added(), std::regex(LinePattern("CCorvinaServiceNT LogOffCtrlHandler CTRL_C_EVENT") +
                               LinePattern("CCorvinaServiceNT LogOffCtrlHandler CTRL_LOGOFF_EVENT") +
                               LinePattern("CCorvinaServiceNT LogOffCtrlHandler default"))))
      << tail.Added();
}

// A log-off or a shutdown: the handler returns only once the main window has
// run the orderly stop to its end, and tells the system it is handled then;
// a stop that did not end in order leaves the event to the next handler.
TEST(ControlHandlerTest, LogOffAndShutdownReturnOnlyAfterTheStopRanToItsEnd) {
  struct Case {
    DWORD type;
    const char* logged;
    bool stopEnds;   // what the stop answers
    BOOL expected;
  };
  const Case cases[] = {
      {CTRL_SHUTDOWN_EVENT, "LogOffCtrlHandler CTRL_SHUTDOWN_EVENT\r\n", true, TRUE},
      {CTRL_LOGOFF_EVENT, "LogOffCtrlHandler CTRL_LOGOFF_EVENT\r\n", true, TRUE},
      {CTRL_SHUTDOWN_EVENT, "LogOffCtrlHandler CTRL_SHUTDOWN_EVENT\r\n", false, FALSE},
  };
  for (const Case& c : cases) {
    SystemClock clock;
    ProcessFlags flags;
    const ServiceLogTail tail;
    std::atomic<int> stops{0};
    std::atomic<bool> stopDone{false};
    bool loggedBeforeStop = false;
    MainWindowSettings settings;
    settings.instance = GetModuleHandleW(nullptr);
    settings.windowTitle = "Vesper Recorder CTRLTEST";
    settings.com = "CTRLTEST";
    MainWindowSources sources;
    sources.stopToEnd = [&] {
      loggedBeforeStop = tail.Added().find(c.logged) != std::string::npos;
      ++stops;
      stopDone = true;
      return c.stopEnds;
    };
    MainWindow window(settings, flags, clock, std::move(sources));
    ASSERT_TRUE(window.Create());
    CCorvinaServiceNT::SetMainWindow(window.Handle());

    // Windows calls the handler on a thread of its own.
    std::atomic<bool> returned{false};
    BOOL result = -1;
    bool stopDoneWhenReturned = false;
    std::thread system([&] {
      result = CCorvinaServiceNT::LogOffCtrlHandler(c.type);
      stopDoneWhenReturned = stopDone;
      returned = true;
      PostMessageW(window.Handle(), WM_NULL, 0, 0);
    });
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, nullptr);
    window.RunUntil(
        [&] { return returned.load() || std::chrono::steady_clock::now() > deadline; }, nullptr);
    KillTimer(nullptr, timer);
    system.join();
    EXPECT_EQ(result, c.expected) << c.type;
    EXPECT_EQ(stops, 1) << c.type;
    EXPECT_TRUE(stopDoneWhenReturned) << c.type;
    EXPECT_TRUE(loggedBeforeStop) << c.type;
    CCorvinaServiceNT::SetMainWindow(nullptr);
    window.Finish();
  }
}

// Before the window exists (or after it is gone) a shutdown is only logged
// and passed on.
TEST(ControlHandlerTest, WithoutAWindowAShutdownIsOnlyLogged) {
  CCorvinaServiceNT::SetMainWindow(nullptr);
  const ServiceLogTail tail;
  EXPECT_EQ(CCorvinaServiceNT::LogOffCtrlHandler(CTRL_SHUTDOWN_EVENT), FALSE);
  EXPECT_TRUE(std::regex_match(
      tail.Added(), std::regex(LinePattern("CCorvinaServiceNT LogOffCtrlHandler CTRL_SHUTDOWN_EVENT"))))
      << tail.Added();
}

}  // namespace
}  // namespace vr
