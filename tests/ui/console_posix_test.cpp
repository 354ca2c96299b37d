#include "ui/console_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>

#include "base/civil_time.h"
#include "log/error_log.h"
#include "log/strings.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

constexpr const char* kTitle = "Vesper Recorder /dev/ttyS0";
const std::string kStamp = "2006/03/01/00:00:00  ";

std::string Text(int id) { return ToLogCharset(MessageText(id)); }

// Bounds every real-time wait of these tests; none is expected to take long.
constexpr std::chrono::seconds kPatience{5};

// Standard output that stops taking text: every write waits at the gate
// until the test opens it.
class GatedBuffer final : public std::streambuf {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // True once a write waits at the closed gate.
  bool WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return held_; });
  }
  std::string Text() {
    std::lock_guard lock(mutex_);
    return text_;
  }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    std::unique_lock lock(mutex_);
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
    text_.append(data, static_cast<std::size_t>(size));
    return size;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    xsputn(&ch, 1);
    return c;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  bool held_ = false;
  std::string text_;
};

class ConsoleTest : public ::testing::Test {
 protected:
  ConsoleTest() : clock_(ToSeconds(CivilTime{2006, 3, 1, 0, 0, 0, 0})) {}

  // Built on first use, so a test can set the sources and the terminal first.
  ConsoleFrontEnd& FrontEnd() {
    if (!frontEnd_) {
      ConsoleSources sources;
      sources.currentSite = [this] { return site_; };
      sources.lineCount = [this] { return lines_; };
      sources.spaceThresholdMb = [this] { return thresholdMb_; };
      sources.quit = [this] { ++quits_; };
      frontEnd_ = std::make_unique<ConsoleFrontEnd>(
          kTitle, dir_.File("vrec.log"),
          ConsoleStreams{*display_, err_, terminal_, outDescriptor_, closeGrace_}, flags_, clock_,
          std::move(sources));
    }
    return *frontEnd_;
  }

  // A test that leaves the gate closed would leave the writer stuck.
  ~ConsoleTest() override { gate_.Open(); }

  // What standard output holds once the writer has written what it was given.
  std::string Out() {
    EXPECT_TRUE(FrontEnd().FlushDisplay(kPatience));
    return out_.str();
  }
  std::string Gated() {
    EXPECT_TRUE(FrontEnd().FlushDisplay(kPatience));
    return gate_.Text();
  }
  // Standard output blocks from the start.
  void BlockStandardOutput() { display_ = &gated_; }

  std::string Log() const { return dir_.Read("vrec.log"); }

  test::TempDir dir_;
  ManualClock clock_;
  ProcessFlags flags_;
  std::ostringstream out_;
  std::ostringstream err_;
  GatedBuffer gate_;
  std::ostream gated_{&gate_};
  std::ostream* display_ = &out_;
  int outDescriptor_ = -1;
  std::chrono::milliseconds closeGrace_ = kDisplayCloseGrace;
  bool terminal_ = false;
  std::string site_;
  std::uint64_t lines_ = 0;
  std::uint32_t thresholdMb_ = 0;
  int quits_ = 0;
  std::unique_ptr<ConsoleFrontEnd> frontEnd_;
};

TEST_F(ConsoleTest, NothingHappensBeforeTheMainLoopDrains) {
  FrontEnd().Post(Message::kDisplay, 3, "abc");
  FrontEnd().Post(Message::kError, msg::kDataFileUnavailable, "");
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(Log(), "");
  FrontEnd().Drain();
  EXPECT_EQ(Out(), "abc");
  EXPECT_NE(Log(), "");
}

TEST_F(ConsoleTest, ReportsBecomeLogLinesInOrder) {
  FrontEnd().Post(Message::kError, msg::kDataFileUnavailable, "");
  FrontEnd().Post(Message::kError, msg::kPortClosed, "0001");
  FrontEnd().Post(Message::kSystemError, 2, "0002");
  FrontEnd().Post(Message::kDebug, 0, "Chiusura porta seriale");
  FrontEnd().Post(Message::kDebug, 0, "");  // no text: no line
  FrontEnd().Drain();
  EXPECT_EQ(Log(), "     " + kStamp + Text(msg::kDataFileUnavailable) + "\r\n" + "0001 " + kStamp +
                       Text(msg::kPortClosed) + "\r\n" + "0002 " + kStamp + SystemErrorText(2) +
                       "\r\n" + "Debug" + kStamp + "Chiusura porta seriale\r\n");
}

TEST_F(ConsoleTest, LinesFollowTheLogWhenItMoves) {
  FrontEnd().SetLogPath(dir_.File("other.log"));
  FrontEnd().Post(Message::kDebug, 0, "x");
  FrontEnd().Drain();
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(dir_.Read("other.log"), "Debug" + kStamp + "x\r\n");
}

TEST_F(ConsoleTest, DisplayShowsTheAnnouncedBytesUpToAZeroByte) {
  FrontEnd().Post(Message::kDisplay, 4, "0001 uno\r\n");  // only 4 announced
  FrontEnd().Post(Message::kDisplay, 7, std::string("due\0tre", 7));
  FrontEnd().Drain();
  EXPECT_EQ(Out(), "0001due");
}

TEST_F(ConsoleTest, TitleCarriesTheSiteAndTheLineCount) {
  EXPECT_EQ(FrontEnd().Title(), kTitle);
  site_ = "0001";
  lines_ = 42;
  FrontEnd().Post(Message::kDisplay, 2, "x\n");
  FrontEnd().Drain();
  EXPECT_EQ(FrontEnd().Title(), std::string(kTitle) + "  0001  42 Linee ricevute");

  site_.clear();
  lines_ = 43;
  FrontEnd().Post(Message::kDisplay, 2, "y\n");
  FrontEnd().Drain();
  EXPECT_EQ(FrontEnd().Title(), std::string(kTitle) + "  43 Linee ricevute");
}

TEST_F(ConsoleTest, AnEmptyDisplayChangesNothingButLeadingZeroStillUpdatesTheTitle) {
  lines_ = 5;
  FrontEnd().Post(Message::kDisplay, 0, "ignored");
  FrontEnd().Drain();
  EXPECT_EQ(FrontEnd().Title(), kTitle);

  FrontEnd().Post(Message::kDisplay, 3, std::string("\0ab", 3));
  FrontEnd().Drain();
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(FrontEnd().Title(), std::string(kTitle) + "  5 Linee ricevute");
}

TEST_F(ConsoleTest, TheTerminalTitleIsWrittenOnlyToATerminal) {
  lines_ = 1;
  FrontEnd().Post(Message::kDisplay, 2, "a\n");
  FrontEnd().Drain();
  EXPECT_EQ(Out(), "a\n");
}

TEST_F(ConsoleTest, TheTerminalTitleFollowsTheText) {
  terminal_ = true;
  lines_ = 1;
  FrontEnd().Post(Message::kDisplay, 2, "a\n");
  FrontEnd().Drain();
  EXPECT_EQ(Out(), "a\n\x1b]0;" + std::string(kTitle) + "  1 Linee ricevute\x07");
}

TEST_F(ConsoleTest, AWarningIsPrintedAndLoggedOnce) {
  flags_.WarningPending(msg::kPortConnect) = true;  // as the poster sets it
  FrontEnd().Post(Message::kWarning, msg::kPortConnect, "");
  FrontEnd().Post(Message::kWarning, msg::kPortConnect, "");  // a poster that ignored the flag
  FrontEnd().Drain();
  EXPECT_EQ(err_.str(), std::string(kTitle) + ": " + Text(msg::kPortConnect) + "\n");
  EXPECT_EQ(Log(), "     " + kStamp + Text(msg::kPortConnect) + "\r\n");
  EXPECT_TRUE(flags_.WarningPending(msg::kPortConnect));
  EXPECT_FALSE(flags_.WarningPending(msg::kPortSetup));
}

TEST_F(ConsoleTest, AnOwnerlessBoxGoesToStandardErrorTheLogAndTheStatusAndSetsNoWarning) {
  site_ = "0001";
  FrontEnd().ShowOwnerlessBox("DevLink.dll is missing.");
  EXPECT_EQ(FrontEnd().LastBox(), "DevLink.dll is missing.");
  EXPECT_EQ(err_.str(), "");  // shown by the main loop
  FrontEnd().Drain();
  EXPECT_EQ(err_.str(), std::string(kTitle) + ": DevLink.dll is missing.\n");
  EXPECT_EQ(Log(), "0001 " + kStamp + "DevLink.dll is missing.\r\n");
  for (int id = kFirstWarningId; id <= kLastWarningId; ++id) EXPECT_FALSE(flags_.WarningPending(id));
}

TEST_F(ConsoleTest, TheDiskSpaceWarningNamesTheThreshold) {
  thresholdMb_ = 50;
  FrontEnd().Post(Message::kWarning, msg::kDiskSpace, "");
  FrontEnd().Drain();
  EXPECT_EQ(err_.str(), std::string(kTitle) + ": " + Text(msg::kDiskSpace) + "50MB.\n");
}

TEST_F(ConsoleTest, IdsOutsideTheWarningsAreNotShown) {
  FrontEnd().Post(Message::kWarning, 7000, "");
  FrontEnd().Post(Message::kWarning, 7012, "");
  FrontEnd().Drain();
  EXPECT_EQ(err_.str(), "");
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(FrontEnd().MsUntilNextExpiry(), -1);
}

TEST_F(ConsoleTest, AckClearsEveryWarningSoTheNextFailureIsShownAgain) {
  FrontEnd().Post(Message::kWarning, msg::kPortConnect, "");
  FrontEnd().Post(Message::kWarning, msg::kDataFilesCreate, "");
  FrontEnd().Drain();
  flags_.WarningPending(msg::kOverflowOpen) = true;  // posted, not handled yet
  FrontEnd().AcknowledgeWarnings();
  for (int id = kFirstWarningId; id <= kLastWarningId; ++id)
    EXPECT_FALSE(flags_.WarningPending(id)) << id;
  EXPECT_EQ(FrontEnd().MsUntilNextExpiry(), -1);

  err_.str("");
  FrontEnd().Post(Message::kWarning, msg::kPortConnect, "");
  FrontEnd().Drain();
  EXPECT_EQ(err_.str(), std::string(kTitle) + ": " + Text(msg::kPortConnect) + "\n");
}

TEST_F(ConsoleTest, AShownWarningExpiresAfterFiveMinutes) {
  FrontEnd().Post(Message::kWarning, msg::kPortConnect, "");
  FrontEnd().Drain();
  EXPECT_EQ(FrontEnd().MsUntilNextExpiry(), 300000);

  clock_.AdvanceMs(120000);
  FrontEnd().Post(Message::kWarning, msg::kPortSetup, "");
  FrontEnd().Drain();
  EXPECT_EQ(FrontEnd().MsUntilNextExpiry(), 180000);  // the older one comes first

  clock_.AdvanceMs(179999);
  FrontEnd().ExpireWarnings();
  EXPECT_TRUE(flags_.WarningPending(msg::kPortConnect));
  EXPECT_EQ(FrontEnd().MsUntilNextExpiry(), 1);

  clock_.AdvanceMs(1);
  FrontEnd().Drain();  // the main loop's turn after poll() timed out
  EXPECT_FALSE(flags_.WarningPending(msg::kPortConnect));
  EXPECT_TRUE(flags_.WarningPending(msg::kPortSetup));
  EXPECT_EQ(FrontEnd().MsUntilNextExpiry(), 120000);

  // The lasting failure is shown again.
  err_.str("");
  FrontEnd().Post(Message::kWarning, msg::kPortConnect, "");
  FrontEnd().Drain();
  EXPECT_EQ(err_.str(), std::string(kTitle) + ": " + Text(msg::kPortConnect) + "\n");
}

TEST_F(ConsoleTest, QuitAsksForTheOrderlyStop) {
  FrontEnd().Post(Message::kQuit, 0, "");
  EXPECT_EQ(quits_, 0);
  FrontEnd().Drain();
  EXPECT_EQ(quits_, 1);
}

TEST_F(ConsoleTest, TheIconAndTheMenuStateAreKept) {
  EXPECT_EQ(FrontEnd().Icon(), TrayIcon::kIdle);
  EXPECT_TRUE(FrontEnd().StartEnabled());
  FrontEnd().ShowIcon(TrayIcon::kHeld);
  FrontEnd().EnableMenuItems(false, true);
  EXPECT_EQ(FrontEnd().Icon(), TrayIcon::kHeld);
  EXPECT_FALSE(FrontEnd().StartEnabled());
}

// Blocks until a message waits in the front end's queue.
void WaitForMessage(ConsoleFrontEnd& frontEnd) {
  pollfd fd{frontEnd.WakeDescriptor(), POLLIN, 0};
  ASSERT_EQ(::poll(&fd, 1, -1), 1);
}

TEST_F(ConsoleTest, TheWakeDescriptorIsReadableOnlyWhileMessagesWait) {
  pollfd fd{FrontEnd().WakeDescriptor(), POLLIN, 0};
  EXPECT_EQ(::poll(&fd, 1, 0), 0);
  FrontEnd().Post(Message::kDebug, 0, "x");
  EXPECT_EQ(::poll(&fd, 1, 0), 1);
  FrontEnd().Drain();
  EXPECT_EQ(::poll(&fd, 1, 0), 0);
}

TEST_F(ConsoleTest, SendReturnsOnlyAfterTheMessageWasHandled) {
  FrontEnd();
  std::string logAfterSend;
  std::thread worker([&] {
    frontEnd_->Send(Message::kDebug, 0, "Ripristino impostazioni porta seriale");
    logAfterSend = Log();
  });
  WaitForMessage(*frontEnd_);
  frontEnd_->Drain();
  worker.join();
  EXPECT_EQ(logAfterSend, "Debug" + kStamp + "Ripristino impostazioni porta seriale\r\n");
}

TEST_F(ConsoleTest, CloseReleasesASenderThatNobodyWillServe) {
  FrontEnd();
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    frontEnd_->Send(Message::kDebug, 0, "x");
    returned = true;
  });
  WaitForMessage(*frontEnd_);
  frontEnd_->Close();
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(Log(), "");
  frontEnd_->Send(Message::kDebug, 0, "y");  // returns at once once closed
}

// Drains like the main loop until done() holds; false when it did not in time.
bool DrainUntil(ConsoleFrontEnd& frontEnd, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pollfd fd{frontEnd.WakeDescriptor(), POLLIN, 0};
    ::poll(&fd, 1, 50);
    frontEnd.Drain();
  }
  return true;
}

// Received text whose every chunk can be told apart from the others.
std::string Chunk(int index, std::size_t bytes) {
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on
  // "literal" + std::string&&.
  std::string chunk = "<";
  chunk += std::to_string(index);
  chunk += '>';
  chunk.resize(bytes, static_cast<char>('a' + index % 26));
  return chunk;
}

std::string DropLine(std::uint64_t bytes) {
  return "Debug" + kStamp + std::to_string(bytes) + " byte non visualizzati\r\n";
}

TEST_F(ConsoleTest, ReportsWarningsQuitAndSendAreHandledWhileStandardOutputIsBlocked) {
  BlockStandardOutput();
  FrontEnd().Post(Message::kDisplay, 5, "first");
  FrontEnd().Drain();
  ASSERT_TRUE(gate_.WaitUntilHeld());

  std::atomic<bool> sent{false};
  std::thread worker([&] {
    frontEnd_->Post(Message::kDisplay, 6, "second");
    frontEnd_->Post(Message::kError, msg::kDataFileUnavailable, "");
    frontEnd_->Post(Message::kWarning, msg::kPortConnect, "");
    frontEnd_->Post(Message::kQuit, 0, "");
    frontEnd_->Send(Message::kDebug, 0, "Chiusura porta seriale");
    sent = true;
  });
  const bool handled = DrainUntil(*frontEnd_, [&] { return sent.load(); });
  if (!handled) gate_.Open();  // a front end that waits for the display can end now
  worker.join();
  ASSERT_TRUE(handled);

  EXPECT_EQ(Log(), "     " + kStamp + Text(msg::kDataFileUnavailable) + "\r\n" + "     " + kStamp +
                       Text(msg::kPortConnect) + "\r\n" + "Debug" + kStamp +
                       "Chiusura porta seriale\r\n");
  EXPECT_EQ(err_.str(), std::string(kTitle) + ": " + Text(msg::kPortConnect) + "\n");
  EXPECT_EQ(quits_, 1);
  EXPECT_EQ(gate_.Text(), "");  // all of that while the first write still waits

  gate_.Open();
  EXPECT_EQ(Gated(), "firstsecond");
}

TEST_F(ConsoleTest, TextBeyondTheBoundIsDroppedInWholeChunksAndCountedOnce) {
  BlockStandardOutput();
  const std::string first = "first";
  FrontEnd().Post(Message::kDisplay, static_cast<std::uint32_t>(first.size()), first);
  FrontEnd().Drain();
  ASSERT_TRUE(gate_.WaitUntilHeld());

  // Three times the bound while nothing is written: only what fits is kept,
  // and the title still counts every line.
  constexpr std::size_t kChunkBytes = 64 * 1024;
  const int chunks = static_cast<int>(3 * kDisplayWaitingLimitBytes / kChunkBytes);
  const std::size_t fitting = (kDisplayWaitingLimitBytes - first.size()) / kChunkBytes;
  std::string expected = first;
  std::size_t peakBytes = 0;
  for (int i = 0; i < chunks; ++i) {
    const std::string chunk = Chunk(i, kChunkBytes);
    if (static_cast<std::size_t>(i) < fitting) expected += chunk;
    lines_ = static_cast<std::uint64_t>(i) + 1;
    FrontEnd().Post(Message::kDisplay, static_cast<std::uint32_t>(chunk.size()), chunk);
    if (i == chunks / 2) FrontEnd().Post(Message::kError, msg::kDataFileUnavailable, "");
    if (i % 8 == 7) FrontEnd().Drain();
    peakBytes = std::max(peakBytes, FrontEnd().PendingDisplayBytes());
  }
  FrontEnd().Drain();
  EXPECT_LE(peakBytes, kDisplayWaitingLimitBytes);
  EXPECT_GT(peakBytes, kDisplayWaitingLimitBytes - kChunkBytes);  // the room is used
  EXPECT_EQ(FrontEnd().Title(),
            std::string(kTitle) + "  " + std::to_string(chunks) + " Linee ricevute");
  // The episode is still open: no count yet, but the report is there.
  EXPECT_EQ(Log(), "     " + kStamp + Text(msg::kDataFileUnavailable) + "\r\n");

  gate_.Open();
  ASSERT_TRUE(FrontEnd().FlushDisplay(kPatience));
  EXPECT_EQ(FrontEnd().PendingDisplayBytes(), 0u);
  FrontEnd().Post(Message::kDisplay, 4, "last");  // accepted again: the episode ends
  FrontEnd().Drain();
  expected += "last";

  EXPECT_TRUE(Gated() == expected)
      << "shown " << gate_.Text().size() << " bytes, expected " << expected.size();
  EXPECT_EQ(Log(), "     " + kStamp + Text(msg::kDataFileUnavailable) + "\r\n" +
                       DropLine((static_cast<std::size_t>(chunks) - fitting) * kChunkBytes));
}

TEST_F(ConsoleTest, CloseLogsTheBytesOfAnOpenDropEpisode) {
  BlockStandardOutput();
  FrontEnd().Post(Message::kDisplay, 5, "first");
  FrontEnd().Drain();
  ASSERT_TRUE(gate_.WaitUntilHeld());
  const std::string tooMuch(kDisplayWaitingLimitBytes, 'x');  // "first" already takes room
  FrontEnd().Post(Message::kDisplay, static_cast<std::uint32_t>(tooMuch.size()), tooMuch);
  FrontEnd().Drain();
  EXPECT_EQ(Log(), "");

  gate_.Open();
  FrontEnd().Close();
  EXPECT_EQ(gate_.Text(), "first");  // Close let the writer finish
  EXPECT_EQ(Log(), DropLine(tooMuch.size()));
  FrontEnd().Close();
  EXPECT_EQ(Log(), DropLine(tooMuch.size()));
}

TEST_F(ConsoleTest, CloseDoesNotWaitForAPipeThatNobodyReads) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  const int capacity = ::fcntl(pipeFds[0], F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  outDescriptor_ = pipeFds[1];
  closeGrace_ = std::chrono::milliseconds(0);

  const std::string text = Chunk(1, static_cast<std::size_t>(capacity) + 4096);
  FrontEnd().Post(Message::kDisplay, static_cast<std::uint32_t>(text.size()), text);
  FrontEnd().Drain();
  // Full pipe: the writer is inside a write that only a reader can end.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  int queued = 0;
  while (queued < capacity && std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(::ioctl(pipeFds[0], FIONREAD, &queued), 0);
    std::this_thread::yield();
  }
  ASSERT_EQ(queued, capacity);

  std::mutex mutex;
  std::condition_variable closedSignal;
  bool closed = false;
  std::thread closer([&] {
    frontEnd_->Close();
    std::lock_guard lock(mutex);
    closed = true;
    closedSignal.notify_all();
  });
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(closedSignal.wait_for(lock, kPatience, [&] { return closed; }));
  }

  // The writer left behind still finishes the write it was in.
  std::string read;
  char buffer[8192];
  while (read.size() < text.size()) {
    pollfd fd{pipeFds[0], POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(kPatience.count() * 1000)) != 1) break;
    const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    read.append(buffer, static_cast<std::size_t>(got));
  }
  closer.join();
  EXPECT_TRUE(read == text) << read.size() << " of " << text.size() << " bytes";
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

}  // namespace
}  // namespace vr
