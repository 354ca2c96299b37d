#include "app/recorder_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/worker_mailbox.h"
#include "app/control_events_win32.h"
#include "app/recorder.h"
#include "base/clock.h"
#include "log/strings.h"
#include "support/temp_dir.h"
#include "support/win32_windows.h"

namespace vr {
namespace {

using test::TextOf;
using test::WaitFor;

std::vector<WorkerRequest> Requests(WorkerMailbox& mailbox) {
  std::vector<WorkerRequest> requests;
  for (const WorkerMailbox::Item& item : mailbox.Take()) requests.push_back(item.request);
  return requests;
}

// The first visible message box (#32770) of those enumerated.
BOOL CALLBACK FindBox(HWND window, LPARAM lParam) {
  wchar_t className[32] = {};
  GetClassNameW(window, className, 32);
  if (std::wstring(className) != L"#32770" || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<HWND*>(lParam) = window;
  return FALSE;
}

class Win32PlatformTest : public ::testing::Test {
 protected:
  Win32PlatformTest()
      : com_("VRP" + std::to_string(GetCurrentProcessId()) + "X" + std::to_string(++serial_)) {}

  // A run whose configuration has been read: the port, its title, the log.
  std::unique_ptr<RecorderRun> MakeRun(int noVisible = 0, bool slave = false) {
    CommandLine line;
    line.slave = slave;
    auto run = std::make_unique<RecorderRun>(dir_.Path(), line, clock_);
    run->config.general.com = com_;
    run->config.general.windowTitle = "Vesper Recorder " + com_;
    run->config.general.log = dir_.File("vesprec.log");
    run->config.general.noVisible = noVisible;
    return run;
  }

  // Runs the front end's loop until condition() holds or test::kWindowPatience passed.
  static bool PumpUntil(FrontEnd& frontEnd, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + test::kWindowPatience;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, nullptr);
    frontEnd.RunUntil(
        [&] { return condition() || std::chrono::steady_clock::now() > deadline; }, nullptr);
    KillTimer(nullptr, timer);
    return condition();
  }

  static inline int serial_ = 0;
  test::TempDir dir_;
  const std::string com_;
  SystemClock clock_;
};

TEST_F(Win32PlatformTest, OneInstancePerPortByAMutexNamedAfterIt) {
  const auto run = MakeRun();
  std::string error;
  auto first = std::make_unique<Win32Platform>(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
  ASSERT_EQ(first->GuardInstance(*run, error), InstanceResult::kAcquired);
  const HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, WideFromUtf8(com_).c_str());
  ASSERT_NE(opened, nullptr);
  CloseHandle(opened);

  Win32Platform second(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
  EXPECT_EQ(second.GuardInstance(*run, error), InstanceResult::kHeld);
  EXPECT_EQ(second.OtherInstanceRuns(*run), 0);

  // Once both handles are closed the port is free again.
  first.reset();
  Win32Platform third(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
  EXPECT_EQ(third.GuardInstance(*run, error), InstanceResult::kAcquired);
}

TEST_F(Win32PlatformTest, TheWaitEventIsNamedAfterThePort) {
  Win32Platform platform(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
  const std::unique_ptr<WakeSignal> event = platform.MakeWaitEvent(com_);
  ASSERT_NE(event, nullptr);
  EXPECT_GT(event->NativeHandle(), 0);
  EXPECT_EQ(WaitEventName(com_), L"VESPER_WAIT_EVENT_" + WideFromUtf8(com_));

  // Another program opens it by its name and sets it.
  const HANDLE other = OpenEventW(EVENT_MODIFY_STATE, FALSE, WaitEventName(com_).c_str());
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(event->Wait(0));
  SetEvent(other);
  // Manual reset: it stays set until consumed.
  EXPECT_TRUE(event->Wait(0));
  EXPECT_TRUE(event->Wait(0));
  EXPECT_TRUE(event->Consume());
  EXPECT_FALSE(event->Wait(0));
  EXPECT_FALSE(event->Consume());
  event->Signal();
  EXPECT_TRUE(event->Consume());
  CloseHandle(other);
}

TEST_F(Win32PlatformTest, FrontEndConnectsTheWindowToTheRun) {
  const auto run = MakeRun(2);
  Win32Platform platform(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
  std::unique_ptr<FrontEnd> frontEnd = platform.MakeFrontEnd(*run);
  ASSERT_NE(frontEnd, nullptr);
  auto& window = static_cast<WindowFrontEnd&>(*frontEnd).Window();
  // NoVisible 2: hidden at start.
  EXPECT_FALSE(IsWindowVisible(window.Handle()));
  EXPECT_EQ(TextOf(window.Handle()), WideFromUtf8("Vesper Recorder " + com_));

  // Other programs reach the worker through the worker window.
  const HWND worker =
      FindWindowExW(window.Handle(), nullptr, nullptr, WideFromUtf8(com_).c_str());
  ASSERT_NE(worker, nullptr);
  std::atomic<bool> sent{false};
  std::thread other([&] {
    SendMessageW(worker, WM_USER + 103, 0, 0);
    SendMessageW(worker, WM_USER + 102, 0, 0);
    SendMessageW(worker, WM_USER + 101, 0, 0);
    sent = true;
  });
  ASSERT_TRUE(PumpUntil(*frontEnd, [&] { return sent.load(); }));
  other.join();
  EXPECT_EQ(Requests(run->mailbox),
            (std::vector<WorkerRequest>{WorkerRequest::kReload, WorkerRequest::kStopConnection,
                                        WorkerRequest::kClose}));
  EXPECT_FALSE(run->flags.quit);

  // The title reads the status board.
  run->status.SetSite("S1");
  run->status.SetLines(3);
  frontEnd->Reports().Post(Message::kDisplay, 3, "ab\n");
  const std::wstring expected = WideFromUtf8("Vesper Recorder " + com_ + "  S1  3 Linee ricevute");
  ASSERT_TRUE(PumpUntil(*frontEnd, [&] { return TextOf(window.Handle()) == expected; }));
  // Still found by a second start, with its longer title.
  EXPECT_EQ(FindRunningInstance("Vesper Recorder " + com_, com_), window.Handle());

  // Reports go to the log the run names, and to the new one after a reload.
  frontEnd->Reports().Post(Message::kError, msg::kPortClosed, "S1");
  ASSERT_TRUE(PumpUntil(*frontEnd, [&] {
    return dir_.Read("vesprec.log").find("Disconnessa porta COM.") != std::string::npos;
  }));
  frontEnd->SetLogPath(dir_.File("altro.log"));
  frontEnd->Reports().Post(Message::kError, msg::kPortClosed, "S2");
  ASSERT_TRUE(PumpUntil(*frontEnd, [&] {
    return dir_.Read("altro.log").find("Disconnessa porta COM.") != std::string::npos;
  }));

  // A system shutdown reaches the run through the control handler: the
  // orderly stop.
  std::atomic<bool> handled{false};
  std::thread system([&] {
    CCorvinaServiceNT::LogOffCtrlHandler(CTRL_SHUTDOWN_EVENT);
    handled = true;
  });
  ASSERT_TRUE(PumpUntil(*frontEnd, [&] { return handled.load(); }));
  system.join();
  EXPECT_TRUE(run->flags.quit);
  EXPECT_EQ(Requests(run->mailbox), (std::vector<WorkerRequest>{WorkerRequest::kStopConnection}));

  frontEnd->Finish();
  EXPECT_FALSE(IsWindow(worker));
  // Finished: a shutdown now is only logged, and returns at once.
  run->flags.quit = false;
  std::thread late([] { CCorvinaServiceNT::LogOffCtrlHandler(CTRL_SHUTDOWN_EVENT); });
  late.join();
  EXPECT_FALSE(run->flags.quit);
}

TEST_F(Win32PlatformTest, FrontEndShowsTheWindowUnlessNoVisible) {
  {
    const auto run = MakeRun(0);
    Win32Platform platform(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    const auto frontEnd = platform.MakeFrontEnd(*run);
    ASSERT_NE(frontEnd, nullptr);
    EXPECT_TRUE(IsWindowVisible(static_cast<WindowFrontEnd&>(*frontEnd).Window().Handle()));
    frontEnd->Finish();
  }
  {
    const auto run = MakeRun(1, true);  // slave mode shows it whatever NoVisible says
    Win32Platform platform(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    const auto frontEnd = platform.MakeFrontEnd(*run);
    ASSERT_NE(frontEnd, nullptr);
    EXPECT_TRUE(IsWindowVisible(static_cast<WindowFrontEnd&>(*frontEnd).Window().Handle()));
    frontEnd->Finish();
  }
}

// A second start brings the running instance's window forward, unless its
// own NoVisible is 1 or 2; a window with the same title but without the
// worker window is not the instance.
TEST_F(Win32PlatformTest, SecondStartShowsTheRunningInstance) {
  const HWND decoy = CreateWindowExW(0, L"STATIC", WideFromUtf8("Vesper Recorder " + com_).c_str(),
                                     WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(decoy, nullptr);

  const auto run = MakeRun(2);
  Win32Platform running(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
  std::string error;
  ASSERT_EQ(running.GuardInstance(*run, error), InstanceResult::kAcquired);
  const auto frontEnd = running.MakeFrontEnd(*run);
  ASSERT_NE(frontEnd, nullptr);
  const HWND window = static_cast<WindowFrontEnd&>(*frontEnd).Window().Handle();
  ASSERT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(FindRunningInstance("Vesper Recorder " + com_, com_), window);
  EXPECT_EQ(FindRunningInstance("Vesper Recorder " + com_, com_ + "9"), nullptr);

  for (int noVisible : {1, 2}) {
    const auto secondRun = MakeRun(noVisible);
    Win32Platform second(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    ASSERT_EQ(second.GuardInstance(*secondRun, error), InstanceResult::kHeld);
    EXPECT_EQ(second.OtherInstanceRuns(*secondRun), 0);
    EXPECT_FALSE(IsWindowVisible(window)) << noVisible;
  }
  const auto secondRun = MakeRun(0);
  Win32Platform second(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
  ASSERT_EQ(second.GuardInstance(*secondRun, error), InstanceResult::kHeld);
  EXPECT_EQ(second.OtherInstanceRuns(*secondRun), 0);
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_FALSE(IsWindowVisible(decoy));

  frontEnd->Finish();
  DestroyWindow(decoy);
}

TEST_F(Win32PlatformTest, UnusableConfigurationIsABoxAndNothingInTheLog) {
  const auto run = MakeRun();
  Win32Platform platform(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
  std::atomic<int> code{-1};
  std::atomic<DWORD> thread{0};
  std::thread starting([&] {
    thread = GetCurrentThreadId();
    code = platform.ConfigurationUnusable(*run);
  });
  // The box of that thread, whatever its caption: it must be closed for
  // the thread to end.
  HWND box = nullptr;
  const bool shown = WaitFor([&] {
    if (thread == 0) return false;
    EnumThreadWindows(thread, FindBox, reinterpret_cast<LPARAM>(&box));
    return box != nullptr;
  });
  std::wstring text;
  std::wstring caption;
  if (shown) {
    text = TextOf(GetDlgItem(box, 0xFFFF));
    caption = TextOf(box);
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  starting.join();
  ASSERT_TRUE(shown);
  EXPECT_EQ(text, WideFromUtf8(MessageText(msg::kConfigUnusable)));
  EXPECT_EQ(caption, WideFromUtf8("Vesper Recorder " + com_));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(dir_.Read("vesprec.log"), "");
}

}  // namespace
}  // namespace vr
