#include "ui/main_window_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/civil_time.h"
#include "base/clock.h"
#include "base/flags.h"
#include "log/error_log.h"
#include "log/strings.h"
#include "support/temp_dir.h"
#include "support/win32_windows.h"
#include "ui/front_end_text.h"

namespace vr {
namespace {

// Bounds every real-time wait of these tests; none is expected to take long.
constexpr auto kPatience = test::kWindowPatience;
using test::TextOf;
using test::WaitFor;

const std::int64_t kMarch2006 = ToSeconds(CivilTime{2006, 3, 1});

std::string BoxBytes(HWND textBox) { return DisplayBytesFromWide(TextOf(textBox)); }

std::string TitleOf(HWND window) { return Utf8FromWide(TextOf(window)); }

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

struct BoxSearch {
  HWND owner;
  std::wstring caption;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM lParam) {
  auto& search = *reinterpret_cast<BoxSearch*>(lParam);
  wchar_t className[32] = {};
  GetClassNameW(window, className, 32);
  if (std::wstring(className) != L"#32770" || GetWindow(window, GW_OWNER) != search.owner ||
      !IsWindowVisible(window))
    return TRUE;
  // Read without a message: the box's thread may not be pumping.
  wchar_t title[256] = {};
  InternalGetWindowText(window, title, 256);
  if (search.caption == title) search.found.push_back(window);
  return TRUE;
}

// The message boxes on screen with this caption and owner.
std::vector<HWND> BoxesOf(HWND owner, const std::wstring& caption) {
  BoxSearch search{owner, caption, {}};
  EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Presses OK on every box still open (a box too many would otherwise keep
// the window's thread in its loop), until none is left.
void CloseAllBoxes(HWND owner, const std::wstring& caption) {
  WaitFor([&] {
    const std::vector<HWND> boxes = BoxesOf(owner, caption);
    for (HWND box : boxes) PostMessageW(box, WM_COMMAND, IDOK, 0);
    return boxes.empty();
  });
}

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest()
      : com_("VRT" + std::to_string(GetCurrentProcessId()) + "X" + std::to_string(++serial_)),
        title_("Vesper Recorder " + com_),
        logPath_(dir_.File("vesprec.log")),
        clock_(kMarch2006) {}

  void SetUp() override {
    window_ = MakeWindow();
    ASSERT_TRUE(window_->Create());
  }

  void TearDown() override {
    if (window_) window_->Finish();
    window_.reset();
  }

  std::unique_ptr<MainWindow> MakeWindow() {
    MainWindowSettings settings;
    settings.instance = GetModuleHandleW(nullptr);
    settings.windowTitle = title_;
    settings.com = com_;
    settings.logPath = logPath_;
    settings.configProgram = configProgram_;
    settings.shellNotify = [this](DWORD action, NOTIFYICONDATAW& data) {
      std::lock_guard lock(mutex_);
      shellCalls_.push_back({action, data.uFlags, data.uCallbackMessage, data.uID, data.hWnd,
                             data.hIcon, std::wstring(data.szTip)});
      // As a shell does: only an icon it holds can be changed.
      const bool done = shellWorks_ && (action == NIM_ADD || shellHasIcon_);
      if (done) shellHasIcon_ = action != NIM_DELETE;
      return done;
    };
    MainWindowSources sources;
    sources.currentSite = [this] {
      std::lock_guard lock(mutex_);
      return site_;
    };
    sources.lineCount = [this] { return lines_.load(); };
    sources.spaceThresholdMb = [this] { return threshold_.load(); };
    sources.quit = [this] { ++quitCalls_; };
    sources.stopToEnd = [this] {
      ++stopToEndCalls_;
      return stopToEndResult_.load();
    };
    sources.workerRequest = [this](UINT message) {
      std::lock_guard lock(mutex_);
      requests_.push_back(message);
    };
    sources.sitesMenu = [this] {
      std::lock_guard lock(mutex_);
      return sitesMenu_;
    };
    sources.startSite = [this](std::uint32_t id) {
      std::lock_guard lock(mutex_);
      startedSites_.push_back(id);
    };
    return std::make_unique<MainWindow>(std::move(settings), flags_, clock_, std::move(sources));
  }

  void SetSite(std::string site) {
    std::lock_guard lock(mutex_);
    site_ = std::move(site);
  }

  std::vector<UINT> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  // Runs the window's loop until condition() holds or kPatience has passed;
  // a thread timer makes sure the loop looks at the time.
  bool PumpUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, nullptr);
    window_->RunUntil(
        [&] { return condition() || std::chrono::steady_clock::now() > deadline; }, nullptr);
    KillTimer(nullptr, timer);
    return condition();
  }

  // Runs fn on a thread of its own, as the worker or another program would,
  // while this thread runs the window's loop until fn has returned.
  bool RunElsewhere(const std::function<void()>& fn) {
    std::atomic<bool> done{false};
    std::thread other([&] {
      fn();
      done = true;
      PostThreadMessageW(mainThread_, WM_NULL, 0, 0);
    });
    const bool finished = PumpUntil([&] { return done.load(); });
    other.join();
    return finished;
  }

  void PostText(const std::string& text) {
    window_->Post(Message::kDisplay, static_cast<std::uint32_t>(text.size()), text);
  }

  std::string ReadLog() const { return dir_.Read("vesprec.log"); }

  struct ShellCall {
    DWORD action;
    UINT flags;
    UINT callbackMessage;
    UINT id;
    HWND window;
    HICON icon;
    std::wstring tip;
  };
  std::vector<ShellCall> ShellCalls() {
    std::lock_guard lock(mutex_);
    return shellCalls_;
  }
  void SetShellWorks(bool works) {
    std::lock_guard lock(mutex_);
    shellWorks_ = works;
  }

  static inline int serial_ = 0;
  test::TempDir dir_;
  const std::string com_;
  std::string title_;
  const std::string logPath_;
  ManualClock clock_;
  ProcessFlags flags_;
  std::unique_ptr<MainWindow> window_;
  const DWORD mainThread_ = GetCurrentThreadId();

  std::mutex mutex_;
  std::string site_;
  std::atomic<std::uint64_t> lines_{0};
  std::atomic<std::uint32_t> threshold_{0};
  std::atomic<int> quitCalls_{0};
  std::atomic<int> stopToEndCalls_{0};
  std::atomic<bool> stopToEndResult_{true};
  std::vector<UINT> requests_;
  std::vector<ShellCall> shellCalls_;
  bool shellWorks_ = true;
  bool shellHasIcon_ = false;
  SitesMenu sitesMenu_;
  std::vector<std::uint32_t> startedSites_;
  std::string configProgram_ = dir_.File("NOSUCHCFG.EXE");
};

TEST_F(MainWindowTest, IsTheDialogOfItsClassWithTheReadOnlyTextBox) {
  const HWND window = window_->Handle();
  wchar_t className[32] = {};
  GetClassNameW(window, className, 32);
  EXPECT_STREQ(className, L"VRecClass");
  EXPECT_EQ(TitleOf(window), title_);
  EXPECT_FALSE(IsWindowVisible(window));

  const HWND textBox = window_->TextBox();
  ASSERT_NE(textBox, nullptr);
  EXPECT_EQ(GetDlgCtrlID(textBox), 13);
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(textBox, GWL_STYLE));
  EXPECT_TRUE(style & ES_MULTILINE);
  EXPECT_TRUE(style & ES_READONLY);
  EXPECT_TRUE(style & ES_NOHIDESEL);
  EXPECT_TRUE(style & WS_VSCROLL);
  EXPECT_TRUE(style & WS_HSCROLL);
  EXPECT_FALSE(style & ES_AUTOVSCROLL);
  EXPECT_FALSE(style & ES_AUTOHSCROLL);

  // The separator and "Close" of the system menu.
  const HMENU systemMenu = GetSystemMenu(window, FALSE);
  ASSERT_NE(systemMenu, nullptr);
  EXPECT_TRUE(GetMenuState(systemMenu, 5, MF_BYPOSITION) & MF_GRAYED);
  EXPECT_TRUE(GetMenuState(systemMenu, 6, MF_BYPOSITION) & MF_GRAYED);
  EXPECT_FALSE(GetMenuState(systemMenu, 0, MF_BYPOSITION) & MF_GRAYED);
}

TEST_F(MainWindowTest, DisplayAppendsTheLinesAndTitlesTheSiteAndLineCount) {
  SetSite("S1");
  ASSERT_TRUE(RunElsewhere([&] {
    lines_ = 1;
    PostText("prima linea\r\n");
    lines_ = 2;
    PostText("seconda linea\r\n");
  }));
  ASSERT_TRUE(PumpUntil([&] { return TitleOf(window_->Handle()).find("  2 ") != std::string::npos; }));
  EXPECT_EQ(BoxBytes(window_->TextBox()), "prima linea\r\nseconda linea\r\n");
  EXPECT_EQ(TitleOf(window_->Handle()), title_ + "  S1  2 Linee ricevute");
  EXPECT_EQ(window_->DisplayedTitle(), title_ + "  S1  2 Linee ricevute");

  // Between sites the title names none.
  SetSite("");
  lines_ = 3;
  PostText("terza\r\n");
  ASSERT_TRUE(PumpUntil([&] { return TitleOf(window_->Handle()) == title_ + "  3 Linee ricevute"; }));
  EXPECT_EQ(BoxBytes(window_->TextBox()), "prima linea\r\nseconda linea\r\nterza\r\n");
}

TEST_F(MainWindowTest, DisplayShowsOnlyTheAnnouncedBytesUpToANul) {
  lines_ = 7;
  window_->Post(Message::kDisplay, 4, "abcdefgh");
  window_->Post(Message::kDisplay, 6, std::string("xy\0zzzz", 7));
  // Nothing announced: not even the title changes.
  lines_ = 8;
  window_->Post(Message::kDisplay, 0, "ignored");
  window_->Post(Message::kDisplay, 3, std::string("\0ab", 3));
  window_->PumpMessages();
  EXPECT_EQ(BoxBytes(window_->TextBox()), "abcdxy");
  // The message whose text was empty after the cut still counted the lines.
  EXPECT_EQ(TitleOf(window_->Handle()), title_ + "  8 Linee ricevute");
  EXPECT_EQ(window_->InFlightDisplayBytes(), 0u);
}

TEST_F(MainWindowTest, DisplayBytesAreOneCharacterEach) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  const std::wstring wide = WideFromDisplayBytes(all);
  EXPECT_EQ(wide.size(), all.size());
  EXPECT_EQ(DisplayBytesFromWide(wide), all);
  EXPECT_EQ(WideFromDisplayBytes("\xE8"), L"\u00E8");
}

TEST_F(MainWindowTest, TextBoxStaysUnderItsLimitAndKeepsWholeLines) {
  std::string everything;
  std::string model;
  std::vector<std::string> chunks;
  for (int i = 0; i < 1200; ++i) {
    std::string line = "linea numero " + std::to_string(100000 + i) + " del traffico\r\n";
    chunks.push_back(line);
    everything += line;
    model = AppendToDisplay(model, line).text;
  }
  ASSERT_GT(everything.size(), kDisplayLimitChars);
  ASSERT_TRUE(RunElsewhere([&] {
    for (const std::string& chunk : chunks) PostText(chunk);
  }));
  window_->PumpMessages();
  const std::string shown = BoxBytes(window_->TextBox());
  EXPECT_LT(shown.size(), kDisplayLimitChars);
  EXPECT_GT(shown.size(), kDisplayLimitChars - 200);
  EXPECT_EQ(shown, model);
  // The newest text, from the start of a line.
  ASSERT_TRUE(everything.ends_with(shown));
  EXPECT_EQ(everything[everything.size() - shown.size() - 1], '\n');
  EXPECT_TRUE(shown.starts_with("linea numero "));
}

TEST_F(MainWindowTest, OneChunkLargerThanTheBoxShowsItsEnd) {
  std::string big;
  for (int i = 0; big.size() < 40000; ++i) big += "riga " + std::to_string(i) + "\r\n";
  PostText(big);
  window_->PumpMessages();
  const std::string shown = BoxBytes(window_->TextBox());
  EXPECT_EQ(shown.size(), kDisplayLimitChars - 1);
  EXPECT_TRUE(big.ends_with(shown));
}

TEST_F(MainWindowTest, ViewAtTheEndFollowsTheTextElseStaysOnTheUsersLines) {
  const HWND box = window_->TextBox();
  std::string model;
  for (int i = 0; i < 300; ++i) {
    const std::string line = "riga " + std::to_string(i) + "\r\n";
    model = AppendToDisplay(model, line).text;
    PostText(line);
  }
  window_->PumpMessages();
  const auto lineCount = SendMessageW(box, EM_GETLINECOUNT, 0, 0);
  auto first = SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0);
  // Followed to the end: far below the top, the last lines in view.
  EXPECT_GT(first, 200);
  EXPECT_GT(lineCount, first);

  // The user scrolls back to line 100: new text keeps it there.
  SendMessageW(box, EM_LINESCROLL, 0, -100000);
  SendMessageW(box, EM_LINESCROLL, 0, 100);
  ASSERT_EQ(SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0), 100);
  PostText("nuova\r\n");
  model = AppendToDisplay(model, "nuova\r\n").text;
  window_->PumpMessages();
  EXPECT_EQ(SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0), 100);

  // Once lines leave the front, the view moves up with its text.
  std::string fill;
  while (model.size() + fill.size() < kDisplayLimitChars - 100)
    fill += "riempimento del riquadro di testo\r\n";
  PostText(fill);
  model = AppendToDisplay(model, fill).text;
  window_->PumpMessages();
  ASSERT_EQ(SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0), 100);
  const std::string more(400, 'x');
  const DisplayUpdate update = AppendToDisplay(model, more + "\r\n");
  ASSERT_GT(update.removedLineEnds, 0u);
  ASSERT_LT(update.removedLineEnds, 100u);
  PostText(more + "\r\n");
  window_->PumpMessages();
  EXPECT_EQ(BoxBytes(box), update.text);
  first = SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0);
  EXPECT_EQ(first, 100 - static_cast<LRESULT>(update.removedLineEnds));
}

TEST_F(MainWindowTest, ReportsAreWrittenToTheLogAsTheLogWritesThem) {
  ASSERT_TRUE(RunElsewhere([&] {
    window_->Post(Message::kError, msg::kPortClosed, "S1");
    window_->Post(Message::kSystemError, 5, "S2");
    window_->Post(Message::kDebug, 0, "");  // no text: nothing
    window_->Send(Message::kDebug, 0, "Chiusura porta seriale");
  }));
  window_->PumpMessages();
  const std::string reference = dir_.File("reference.log");
  const ErrorLog log(clock_, reference);
  log.WriteMessage(msg::kPortClosed, "S1");
  log.WriteSystemError(5, "S2");
  log.WriteDebug("Chiusura porta seriale");
  const std::string expected = dir_.Read("reference.log");
  ASSERT_FALSE(expected.empty());
  // The same lines; a sent message may overtake posted ones, as with any
  // window, so their order is not compared.
  EXPECT_EQ(SortedLines(ReadLog()), SortedLines(expected));
  EXPECT_NE(ReadLog().find("S1   2006/03/01/00:00:00  Disconnessa porta COM.\r\n"),
            std::string::npos);
}

TEST_F(MainWindowTest, SendReturnsOnlyOnceHandled) {
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    window_->Send(Message::kError, msg::kPortClosed, "S1");
    returned = true;
  });
  // Not handled while this thread does not pump; the log then has the line.
  ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_NE(ReadLog().find("Disconnessa porta COM."), std::string::npos);
}

TEST_F(MainWindowTest, ReportsAfterFinishGoStraightToTheLog) {
  window_->Finish();
  EXPECT_EQ(window_->Handle(), nullptr);
  std::thread worker([&] {
    window_->Post(Message::kError, msg::kPortClosed, "S9");
    window_->Send(Message::kDebug, 0, "ultima riga");
  });
  worker.join();
  const std::string written = ReadLog();
  EXPECT_NE(written.find("S9   2006/03/01/00:00:00  Disconnessa porta COM.\r\n"), std::string::npos);
  EXPECT_NE(written.find("Debug2006/03/01/00:00:00  ultima riga\r\n"), std::string::npos);
}

TEST_F(MainWindowTest, DisplayTextBeyondTheBoundIsDroppedCountedAndLoggedOnce) {
  // Nothing is pumped meanwhile: the main thread is "slow".
  const std::string chunk(64 * 1024, 'a');
  const std::size_t accepted = kDisplayWaitingLimitBytes / chunk.size();
  for (std::size_t i = 0; i < accepted + 16; ++i) {
    lines_ = i + 1;
    PostText(chunk);
  }
  EXPECT_EQ(window_->InFlightDisplayBytes(), accepted * chunk.size());
  EXPECT_EQ(window_->DroppedDisplayBytes(), 16 * chunk.size());
  // Reports are never held back by the bound.
  window_->Post(Message::kError, msg::kPortClosed, "S1");
  window_->PumpMessages();
  EXPECT_EQ(window_->InFlightDisplayBytes(), 0u);
  // Nothing is logged until text is shown again.
  EXPECT_EQ(ReadLog().find("non visualizzati"), std::string::npos);
  const std::string before = BoxBytes(window_->TextBox());
  EXPECT_EQ(before, chunk.substr(0, kDisplayLimitChars - 1));
  PostText("dopo\r\n");
  EXPECT_EQ(window_->DroppedDisplayBytes(), 0u);
  window_->PumpMessages();
  EXPECT_EQ(BoxBytes(window_->TextBox()), AppendToDisplay(before, "dopo\r\n").text);
  // The dropped chunks still counted their lines.
  EXPECT_EQ(TitleOf(window_->Handle()), title_ + "  " + std::to_string(accepted + 16) +
                                            " Linee ricevute");
  const std::string written = ReadLog();
  const std::string dropLine = "Debug2006/03/01/00:00:00  " + std::to_string(16 * chunk.size()) +
                               " byte non visualizzati\r\n";
  EXPECT_NE(written.find(dropLine), std::string::npos);
  EXPECT_EQ(written.find("non visualizzati", written.find(dropLine) + dropLine.size()),
            std::string::npos);
  EXPECT_NE(written.find("Disconnessa porta COM."), std::string::npos);

  // A new episode is logged on its own, when the program ends at the latest.
  for (std::size_t i = 0; i < accepted + 1; ++i) PostText(chunk);
  window_->Finish();
  const std::string secondLine = "Debug2006/03/01/00:00:00  " + std::to_string(chunk.size()) +
                                 " byte non visualizzati\r\n";
  const std::string after = ReadLog();
  EXPECT_NE(after.find(secondLine, written.size()), std::string::npos);
}

TEST_F(MainWindowTest, QuitMessageStopsTheProgram) {
  LRESULT answer = 0;
  ASSERT_TRUE(RunElsewhere([&] { answer = SendMessageW(window_->Handle(), WM_USER + 200, 0, 0); }));
  EXPECT_EQ(quitCalls_, 1);
  EXPECT_EQ(answer, 1);
  // Posted by another program, as well.
  PostMessageW(window_->Handle(), WM_USER + 200, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return quitCalls_ == 2; }));
}

// A session end: the question stops nothing (another program may still
// cancel the log-off); the end itself runs the stop to its end before it
// returns, and a cancelled one leaves the recorder running.
TEST_F(MainWindowTest, OnlyTheEndOfTheSessionRunsTheStopToItsEnd) {
  struct Case {
    UINT message;
    WPARAM wParam;
    LRESULT answer;
    int stops;
  };
  const Case cases[] = {
      {WM_QUERYENDSESSION, 0, TRUE, 0},
      {WM_ENDSESSION, FALSE, 0, 0},
      {WM_ENDSESSION, TRUE, 0, 1},
      {kStopToEndMessage, 0, 1, 1},
  };
  for (const Case& c : cases) {
    stopToEndCalls_ = 0;
    LRESULT answer = -1;
    int stopsWhenAnswered = -1;
    ASSERT_TRUE(RunElsewhere([&] {
      answer = SendMessageW(window_->Handle(), c.message, c.wParam, 0);
      stopsWhenAnswered = stopToEndCalls_;
    }));
    EXPECT_EQ(answer, c.answer) << c.message << " " << c.wParam;
    EXPECT_EQ(stopsWhenAnswered, c.stops) << c.message << " " << c.wParam;
    EXPECT_EQ(quitCalls_, 0) << c.message << " " << c.wParam;
  }
  // A stop that did not end in time answers so.
  stopToEndResult_ = false;
  LRESULT answer = -1;
  ASSERT_TRUE(RunElsewhere([&] { answer = SendMessageW(window_->Handle(), kStopToEndMessage, 0, 0); }));
  EXPECT_EQ(answer, 0);
}

TEST_F(MainWindowTest, WorkerWindowTurnsItsThreeMessagesIntoRequests) {
  const HWND worker = FindWindowExW(window_->Handle(), nullptr, nullptr,
                                    WideFromUtf8(com_).c_str());
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(worker, window_->WorkerHandle());
  EXPECT_FALSE(IsWindowVisible(worker));
  EXPECT_TRUE(GetWindowLongPtrW(worker, GWL_STYLE) & WS_CHILD);

  std::vector<LRESULT> answers;
  ASSERT_TRUE(RunElsewhere([&] {
    for (UINT message : {WM_USER + 101, WM_USER + 102, WM_USER + 103, WM_USER + 104, WM_USER + 2})
      answers.push_back(SendMessageW(worker, message, 0, 0));
  }));
  EXPECT_EQ(answers, (std::vector<LRESULT>{TRUE, TRUE, TRUE, FALSE, FALSE}));
  EXPECT_EQ(Requests(), (std::vector<UINT>{WM_USER + 101, WM_USER + 102, WM_USER + 103}));

  PostMessageW(worker, WM_USER + 102, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return Requests().size() == 4; }));
  EXPECT_EQ(Requests().back(), static_cast<UINT>(WM_USER + 102));
}

TEST_F(MainWindowTest, RepeatedWarningShowsOneBoxUntilItIsClosed) {
  threshold_ = 50;
  const std::wstring caption = WideFromUtf8(title_);
  const HWND main = window_->Handle();
  std::atomic<bool> done{false};
  bool pendingWhileOpen = false;
  std::size_t boxesWhileOpen = 0;
  std::wstring boxText;
  bool closedPressed = false;

  std::thread worker([&] {
    flags_.WarningPending(msg::kDiskSpace) = true;
    window_->Post(Message::kWarning, msg::kDiskSpace, {});
    window_->Post(Message::kWarning, msg::kDiskSpace, {});  // a sender that ignored the flag
    lines_ = 5;
    window_->Post(Message::kDisplay, 3, "ok\n");
    // The box's own loop handles the messages after it: once the title
    // shows them, the second warning has been handled too.
    const bool marked = WaitFor([&] { return TitleOf(main).find("  5 ") != std::string::npos; });
    const bool shown = WaitFor([&] { return !BoxesOf(main, caption).empty(); });
    if (marked && shown) {
      const std::vector<HWND> boxes = BoxesOf(main, caption);
      boxesWhileOpen = boxes.size();
      pendingWhileOpen = flags_.WarningPending(msg::kDiskSpace);
      boxText = TextOf(GetDlgItem(boxes.front(), 0xFFFF));
      // The user presses OK.
      closedPressed = PostMessageW(boxes.front(), WM_COMMAND, IDOK, 0) != 0;
    }
    CloseAllBoxes(main, caption);
    done = true;
  });
  const bool closed =
      PumpUntil([&] { return done.load() && !flags_.WarningPending(msg::kDiskSpace); });
  worker.join();
  ASSERT_TRUE(closedPressed);
  EXPECT_EQ(boxesWhileOpen, 1u);
  EXPECT_TRUE(pendingWhileOpen);
  EXPECT_EQ(boxText, WideFromUtf8(WarningText(msg::kDiskSpace, 50)));
  EXPECT_NE(Utf8FromWide(boxText).find("soglia di 50MB."), std::string::npos);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(BoxesOf(main, caption).empty());

  // Closed: the next warning opens a box again.
  std::atomic<bool> again{false};
  std::atomic<bool> secondDone{false};
  std::thread second([&] {
    window_->Post(Message::kWarning, msg::kDataFilesCreate, {});
    const std::wstring text = WideFromUtf8(MessageText(msg::kDataFilesCreate));
    if (WaitFor([&] { return !BoxesOf(main, caption).empty(); })) {
      const HWND box = BoxesOf(main, caption).front();
      again = TextOf(GetDlgItem(box, 0xFFFF)) == text;
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    CloseAllBoxes(main, caption);
    secondDone = true;
  });
  PumpUntil([&] { return secondDone.load() && !flags_.WarningPending(msg::kDataFilesCreate); });
  second.join();
  EXPECT_TRUE(again);
  EXPECT_FALSE(flags_.WarningPending(msg::kDataFilesCreate));
}

TEST_F(MainWindowTest, ClosingOnlyHidesAndSizingFillsTheClientArea) {
  window_->ShowAtStart(SW_SHOWNORMAL, 0, false);
  ASSERT_TRUE(IsWindowVisible(window_->Handle()));
  SendMessageW(window_->Handle(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(window_->Handle()));
  EXPECT_FALSE(IsWindowVisible(window_->Handle()));
  EXPECT_FALSE(window_->WindowShown());

  MoveWindow(window_->Handle(), 10, 10, 500, 320, TRUE);
  window_->PumpMessages();
  RECT client{};
  GetClientRect(window_->Handle(), &client);
  RECT box{};
  GetWindowRect(window_->TextBox(), &box);
  POINT origin{0, 0};
  ClientToScreen(window_->Handle(), &origin);
  EXPECT_EQ(box.left, origin.x);
  EXPECT_EQ(box.top, origin.y);
  EXPECT_EQ(box.right - box.left, client.right);
  EXPECT_EQ(box.bottom - box.top, client.bottom);
}

TEST_F(MainWindowTest, IconAndMenuStateIsKept) {
  EXPECT_EQ(window_->Icon(), TrayIcon::kIdle);
  window_->ShowIcon(TrayIcon::kHeld);
  EXPECT_EQ(window_->Icon(), TrayIcon::kHeld);
  window_->EnableMenuItems(false, true);
  EXPECT_FALSE(window_->StartEnabled());
  EXPECT_TRUE(window_->StopEnabled());
}

// --- The tray icon, its menu and its commands ---

using TrayTest = MainWindowTest;


TEST_F(TrayTest, IconIsAddedIdleWithTheTitleFollowsTheWorkerAndIsDeletedAtTheEnd) {
  window_->AddTrayIcon();
  std::vector<ShellCall> calls = ShellCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].action, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(calls[0].flags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE | NIF_TIP));
  EXPECT_EQ(calls[0].callbackMessage, kTrayMessage);
  EXPECT_EQ(calls[0].id, 0u);
  EXPECT_EQ(calls[0].window, window_->Handle());
  EXPECT_EQ(calls[0].tip, WideFromUtf8(title_));
  ASSERT_NE(calls[0].icon, nullptr);
  EXPECT_TRUE(window_->TrayOk());

  // From the worker's thread; the main thread changes the picture.
  std::vector<HICON> pictures{calls[0].icon};
  for (TrayIcon state : {TrayIcon::kReceiving, TrayIcon::kHeld, TrayIcon::kLineError}) {
    const std::size_t before = ShellCalls().size();
    ASSERT_TRUE(RunElsewhere([&] { window_->ShowIcon(state); }));
    ASSERT_TRUE(PumpUntil([&] { return ShellCalls().size() > before; }));
    const ShellCall change = ShellCalls().back();
    EXPECT_EQ(change.action, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(change.flags, static_cast<UINT>(NIF_ICON));
    ASSERT_NE(change.icon, nullptr);
    pictures.push_back(change.icon);
  }
  // Four states, four pictures.
  std::sort(pictures.begin(), pictures.end());
  EXPECT_EQ(std::unique(pictures.begin(), pictures.end()), pictures.end());

  window_->Finish();
  EXPECT_EQ(ShellCalls().back().action, static_cast<DWORD>(NIM_DELETE));
}

TEST_F(TrayTest, DisplayPutsTheNewTitleInTheTip) {
  window_->AddTrayIcon();
  SetSite("0001");
  lines_ = 3;
  PostText("a\r\nb\r\nc\r\n");
  ASSERT_TRUE(PumpUntil([&] { return ShellCalls().size() > 1; }));
  const ShellCall tip = ShellCalls().back();
  EXPECT_EQ(tip.action, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(tip.flags, static_cast<UINT>(NIF_TIP));
  EXPECT_EQ(tip.tip, WideFromUtf8(DisplayTitle(title_, "0001", 3)));
}

TEST_F(TrayTest, AnIconTheShellDidNotTakeIsAddedAgainWithTheCurrentState) {
  SetShellWorks(false);
  window_->AddTrayIcon();
  EXPECT_FALSE(window_->TrayOk());
  // Messages the window handles itself do not retry.
  SendMessageW(window_->Handle(), WM_SIZE, 0, MAKELPARAM(100, 100));
  EXPECT_EQ(ShellCalls().size(), 1u);

  SetShellWorks(true);
  window_->ShowIcon(TrayIcon::kReceiving);
  window_->PumpMessages();  // the change fails to reach a shell without the icon...
  SendMessageW(window_->Handle(), WM_NULL, 0, 0);  // ...the next unhandled message adds it
  const ShellCall again = ShellCalls().back();
  EXPECT_EQ(again.action, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(again.flags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE | NIF_TIP));
  EXPECT_TRUE(window_->TrayOk());
  const std::size_t added = ShellCalls().size();
  SendMessageW(window_->Handle(), WM_NULL, 0, 0);
  EXPECT_EQ(ShellCalls().size(), added);  // once there, not again

  // A shell that starts again has lost every icon and says so.
  SendMessageW(window_->Handle(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_EQ(ShellCalls().size(), added + 1);
  EXPECT_EQ(ShellCalls().back().action, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(ShellCalls().back().icon, again.icon);
}

TEST_F(TrayTest, TipIsTheTitleCutTo63Characters) {
  window_->Finish();
  title_ = "Vesper Recorder " + std::string(70, 'C');
  window_ = MakeWindow();
  ASSERT_TRUE(window_->Create());
  window_->AddTrayIcon();
  EXPECT_EQ(ShellCalls().back().tip, WideFromUtf8(title_.substr(0, 63)));
}

std::vector<UINT> ItemIds(HMENU menu) {
  std::vector<UINT> ids;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) ids.push_back(GetMenuItemID(menu, i));
  return ids;
}

std::wstring ItemText(HMENU menu, int position) {
  wchar_t text[64] = {};
  GetMenuStringW(menu, static_cast<UINT>(position), text, 64, MF_BYPOSITION);
  return text;
}

bool Grayed(HMENU menu, UINT id) {
  return (GetMenuState(menu, id, MF_BYCOMMAND) & MF_GRAYED) != 0;
}

TEST_F(TrayTest, MenuHoldsTheCommandsAndTheSitesOfTheLastReading) {
  {
    std::lock_guard lock(mutex_);
    sitesMenu_ = {{40500, "0001", false}, {40501, "0002", true}};
  }
  window_->EnableMenuItems(true, false);
  MainWindow::TrayMenu menu = window_->BuildTrayMenu();
  ASSERT_NE(menu.popup, nullptr);
  // The start item opens a submenu: its id reads as -1 by position.
  const std::vector<UINT> expected{40012, 0, static_cast<UINT>(-1), 40016, 0, 40011, 0, 40008};
  EXPECT_EQ(ItemIds(menu.popup), expected);
  EXPECT_EQ(ItemText(menu.popup, 0), L"&Configura...");
  EXPECT_EQ(ItemText(menu.popup, 2), L"&Avvia");
  EXPECT_EQ(ItemText(menu.popup, 3), L"&Interrompi");
  EXPECT_EQ(ItemText(menu.popup, 5), L"In&formazioni");
  EXPECT_EQ(ItemText(menu.popup, 7), L"&Esci");
  ASSERT_EQ(GetSubMenu(menu.popup, 2), menu.sites);
  EXPECT_EQ(ItemIds(menu.sites), (std::vector<UINT>{40500, 40501}));
  EXPECT_EQ(ItemText(menu.sites, 0), L"0001");
  EXPECT_EQ(ItemText(menu.sites, 1), L"0002");
  EXPECT_FALSE(Grayed(menu.sites, 40500));
  EXPECT_TRUE(Grayed(menu.sites, 40501));  // dropped from the schedule
  EXPECT_FALSE(Grayed(menu.popup, 40009));
  EXPECT_TRUE(Grayed(menu.popup, 40016));
  DestroyMenu(menu.loaded);

  // A site served: Avvia gray, Interrompi enabled; a reload with a new site.
  window_->EnableMenuItems(false, true);
  {
    std::lock_guard lock(mutex_);
    sitesMenu_.push_back({40502, "0003", false});
  }
  menu = window_->BuildTrayMenu();
  ASSERT_NE(menu.popup, nullptr);
  EXPECT_TRUE(Grayed(menu.popup, 40009));
  EXPECT_FALSE(Grayed(menu.popup, 40016));
  EXPECT_EQ(ItemIds(menu.sites), (std::vector<UINT>{40500, 40501, 40502}));
  DestroyMenu(menu.loaded);
}

TEST_F(TrayTest, SiteItemsStartTheirSiteAndInterrompiStopsTheConnection) {
  {
    std::lock_guard lock(mutex_);
    sitesMenu_ = {{40500, "0001", false}, {40501, "0002", false}};
  }
  SendMessageW(window_->Handle(), WM_COMMAND, 40501, 0);
  SendMessageW(window_->Handle(), WM_COMMAND, 40502, 0);  // no such site
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(startedSites_, (std::vector<std::uint32_t>{40501}));
  }

  window_->EnableMenuItems(false, true);
  SendMessageW(window_->Handle(), WM_COMMAND, 40016, 0);
  EXPECT_TRUE(flags_.stop);
  EXPECT_EQ(Requests(), (std::vector<UINT>{kWorkerStopConnection}));
  EXPECT_FALSE(window_->StartEnabled());
  EXPECT_FALSE(window_->StopEnabled());
  EXPECT_EQ(quitCalls_, 0);
}

struct DialogSearch {
  std::wstring caption;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM lParam) {
  auto& search = *reinterpret_cast<DialogSearch*>(lParam);
  wchar_t title[64] = {};
  InternalGetWindowText(window, title, 64);
  if (search.caption == title && IsWindowVisible(window)) search.found.push_back(window);
  return TRUE;
}

// The visible top-level windows of this thread with this caption.
std::vector<HWND> DialogsTitled(const std::wstring& caption) {
  DialogSearch search{caption, {}};
  EnumThreadWindows(GetCurrentThreadId(), CollectDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST_F(TrayTest, AboutBoxOpensOnceAndClosesWithOk) {
  SendMessageW(window_->Handle(), WM_COMMAND, 40011, 0);
  ASSERT_NE(window_->AboutBox(), nullptr);
  EXPECT_TRUE(window_->MenuBusy());
  SendMessageW(window_->Handle(), WM_COMMAND, 40011, 0);
  const std::vector<HWND> boxes = DialogsTitled(L"Informazioni");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(GetWindow(boxes[0], GW_OWNER), window_->Handle());
  EXPECT_EQ(TextOf(GetDlgItem(boxes[0], 3)), L"Vesper Recorder (ver. 5.0.2)");
  EXPECT_EQ(TextOf(GetDlgItem(boxes[0], IDOK)), L"OK");
  // While it is open the configuration program is not started either.
  SendMessageW(window_->Handle(), WM_COMMAND, 40012, 0);
  EXPECT_TRUE(Requests().empty());

  SendMessageW(boxes[0], WM_COMMAND, IDOK, 0);
  EXPECT_FALSE(IsWindow(boxes[0]));
  EXPECT_EQ(window_->AboutBox(), nullptr);
  EXPECT_FALSE(window_->MenuBusy());
}

TEST_F(TrayTest, EsciAsksFirstAndOnlyOkEndsTheProgram) {
  const std::wstring question = WideFromUtf8(MessageText(msg::kQuitQuestion));
  for (const int answer : {IDCANCEL, IDOK}) {
    std::atomic<bool> seen{false};
    std::thread user([&] {
      // The box is the main thread's; another thread answers it.
      WaitFor([&] {
        for (HWND box : BoxesOf(window_->Handle(), WideFromUtf8(title_))) {
          // The box's text is its static control 0xFFFF.
          wchar_t text[256] = {};
          GetDlgItemTextW(box, 0xFFFF, text, 256);
          seen = question == text;
          PostMessageW(box, WM_COMMAND, answer, 0);
          return true;
        }
        return false;
      });
    });
    SendMessageW(window_->Handle(), WM_COMMAND, 40008, 0);
    user.join();
    EXPECT_TRUE(seen);
    EXPECT_EQ(quitCalls_, answer == IDOK ? 1 : 0);
  }
}

TEST_F(TrayTest, ConfigurationProgramThatCannotStartIsLoggedAndTheFileStillReadAgain) {
  SendMessageW(window_->Handle(), WM_COMMAND, 40012, 0);
  EXPECT_FALSE(window_->MenuBusy());
  EXPECT_EQ(Requests(), (std::vector<UINT>{kWorkerReload}));
  const std::string log = ReadLog();
  EXPECT_NE(log.find("NOSUCHCFG.EXE"), std::string::npos) << log;
}

TEST_F(TrayTest, LeftClickShowsTheHiddenWindowUnlessNoVisibleIsOne) {
  window_->ShowAtStart(SW_SHOWNORMAL, 2, false);
  ASSERT_FALSE(IsWindowVisible(window_->Handle()));
  SendMessageW(window_->Handle(), kTrayMessage, 0, WM_LBUTTONDOWN);
  EXPECT_TRUE(IsWindowVisible(window_->Handle()));
  EXPECT_TRUE(window_->WindowShown());
  RECT frame{};
  GetWindowRect(window_->Handle(), &frame);
  EXPECT_GE(frame.left, 0);
  EXPECT_GE(frame.top, 0);

  window_->Finish();
  window_ = MakeWindow();
  ASSERT_TRUE(window_->Create());
  window_->ShowAtStart(SW_SHOWNORMAL, 1, false);
  SendMessageW(window_->Handle(), kTrayMessage, 0, WM_LBUTTONDOWN);
  EXPECT_FALSE(IsWindowVisible(window_->Handle()));
}

class FirstDisplayTest : public MainWindowTest {};

TEST_F(FirstDisplayTest, NormalShowPlacesTheWindowASixthInsideTheDesktop) {
  window_->ShowAtStart(SW_SHOWNORMAL, 0, false);
  EXPECT_TRUE(IsWindowVisible(window_->Handle()));
  EXPECT_TRUE(window_->WindowShown());
  RECT desktop{};
  GetWindowRect(GetDesktopWindow(), &desktop);
  const int width = desktop.right - desktop.left;
  const int height = desktop.bottom - desktop.top;
  RECT placed{};
  GetWindowRect(window_->Handle(), &placed);
  EXPECT_EQ(placed.left, width / 6);
  EXPECT_EQ(placed.top, height / 6);
  EXPECT_EQ(placed.right - placed.left, width - 2 * (width / 6));
  EXPECT_EQ(placed.bottom - placed.top, height - 2 * (height / 6));
}

TEST_F(FirstDisplayTest, NoVisibleOneCountsAsShownWithoutShowing) {
  window_->ShowAtStart(SW_SHOWNORMAL, 1, false);
  EXPECT_FALSE(IsWindowVisible(window_->Handle()));
  EXPECT_TRUE(window_->WindowShown());
  EXPECT_EQ(window_->EffectiveNoVisible(), 1);
}

TEST_F(FirstDisplayTest, NoVisibleTwoStaysHidden) {
  window_->ShowAtStart(SW_SHOWNORMAL, 2, false);
  EXPECT_FALSE(IsWindowVisible(window_->Handle()));
  EXPECT_FALSE(window_->WindowShown());
}

TEST_F(FirstDisplayTest, SlaveModeAlwaysShows) {
  window_->ShowAtStart(SW_SHOWNORMAL, 1, true);
  EXPECT_TRUE(IsWindowVisible(window_->Handle()));
  EXPECT_TRUE(window_->WindowShown());
  EXPECT_EQ(window_->EffectiveNoVisible(), 0);
}

TEST_F(FirstDisplayTest, OtherShowStatesAreNotPlaced) {
  RECT before{};
  GetWindowRect(window_->Handle(), &before);
  window_->ShowAtStart(SW_SHOWNOACTIVATE, 0, false);
  EXPECT_TRUE(IsWindowVisible(window_->Handle()));
  RECT after{};
  GetWindowRect(window_->Handle(), &after);
  EXPECT_EQ(after.left, before.left);
  EXPECT_EQ(after.top, before.top);
  EXPECT_EQ(after.right - after.left, before.right - before.left);
}

}  // namespace
}  // namespace vr
