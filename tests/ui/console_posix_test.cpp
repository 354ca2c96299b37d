#include "ui/console_posix.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <sstream>
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
      frontEnd_ = std::make_unique<ConsoleFrontEnd>(kTitle, dir_.File("vrec.log"),
                                                    ConsoleStreams{out_, err_, terminal_}, flags_,
                                                    clock_, std::move(sources));
    }
    return *frontEnd_;
  }

  std::string Log() const { return dir_.Read("vrec.log"); }

  test::TempDir dir_;
  ManualClock clock_;
  ProcessFlags flags_;
  std::ostringstream out_;
  std::ostringstream err_;
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
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(Log(), "");
  FrontEnd().Drain();
  EXPECT_EQ(out_.str(), "abc");
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
  EXPECT_EQ(out_.str(), "0001due");
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
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(FrontEnd().Title(), std::string(kTitle) + "  5 Linee ricevute");
}

TEST_F(ConsoleTest, TheTerminalTitleIsWrittenOnlyToATerminal) {
  lines_ = 1;
  FrontEnd().Post(Message::kDisplay, 2, "a\n");
  FrontEnd().Drain();
  EXPECT_EQ(out_.str(), "a\n");
}

TEST_F(ConsoleTest, TheTerminalTitleFollowsTheText) {
  terminal_ = true;
  lines_ = 1;
  FrontEnd().Post(Message::kDisplay, 2, "a\n");
  FrontEnd().Drain();
  EXPECT_EQ(out_.str(), "a\n\x1b]0;" + std::string(kTitle) + "  1 Linee ricevute\x07");
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

}  // namespace
}  // namespace vr
