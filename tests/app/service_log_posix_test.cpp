#include "app/service_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/worker_mailbox.h"
#include "app/recorder_posix.h"
#include "app/signal_pipe_posix.h"
#include "base/wake_signal.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

TEST(ServiceLog, LineFormat) {
  EXPECT_EQ(FormatServiceLogLine(1234, CivilTime{2006, 3, 1, 14, 5, 9, 0},
                                 "CCorvinaServiceNT LogOffCtrlHandler SIGTERM"),
            "(1234) 14:05:09 CCorvinaServiceNT LogOffCtrlHandler SIGTERM\n");
  EXPECT_EQ(FormatServiceLogLine(7, CivilTime{2006, 3, 1, 0, 0, 0, 0}, "x"), "(7) 00:00:00 x\n");
}

TEST(ServiceLog, AppendsOneLinePerMessage) {
  test::TempDir dir;
  const std::string path = dir.Write(kServiceLogName, "(1) 09:00:00 earlier run\n");
  ManualClock clock(ToSeconds(CivilTime{2006, 3, 1, 23, 59, 58, 0}));
  const ServiceLog log(path, clock);
  log.Log(service_log::kInstalled);
  clock.AdvanceMs(2000);
  log.Log("second");
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(dir.Read(kServiceLogName), "(1) 09:00:00 earlier run\n(" + pid + ") 23:59:58 " +
                                           service_log::kInstalled + "\n(" + pid +
                                           ") 00:00:00 second\n");
}

TEST(ServiceLog, SignalNames) {
  EXPECT_EQ(SignalLogName(SIGTERM), "SIGTERM");
  EXPECT_EQ(SignalLogName(SIGINT), "SIGINT");
  EXPECT_EQ(SignalLogName(SIGHUP), "SIGHUP");
  EXPECT_EQ(SignalLogName(SIGUSR1), "default");
}

class SignalReactionTest : public ::testing::Test {
 protected:
  SignalReactionTest()
      : clock_(ToSeconds(CivilTime{2006, 3, 1, 14, 5, 9, 0})),
        log_(dir_.File(kServiceLogName), clock_),
        mailbox_(wake_) {}

  std::string Line(const std::string& message) const {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // "literal" + std::string&&.
    std::string line = "(";
    line += std::to_string(::getpid());
    line += ") 14:05:09 ";
    line += message;
    line += '\n';
    return line;
  }

  test::TempDir dir_;
  ManualClock clock_;
  ServiceLog log_;
  ManualWakeSignal wake_{clock_};
  WorkerMailbox mailbox_;
  int quits_ = 0;
  std::function<void()> quit_ = [this] { ++quits_; };
};

TEST_F(SignalReactionTest, TermAndIntStopInOrder) {
  ReactToSignal(SIGTERM, log_, mailbox_, quit_);
  ReactToSignal(SIGINT, log_, mailbox_, quit_);
  EXPECT_EQ(quits_, 2);
  EXPECT_TRUE(mailbox_.Take().empty());
  EXPECT_EQ(dir_.Read(kServiceLogName), Line("CCorvinaServiceNT LogOffCtrlHandler SIGTERM") +
                                            Line("CCorvinaServiceNT LogOffCtrlHandler SIGINT"));
}

TEST_F(SignalReactionTest, HupReloads) {
  ReactToSignal(SIGHUP, log_, mailbox_, quit_);
  EXPECT_EQ(quits_, 0);
  const std::vector<WorkerMailbox::Item> items = mailbox_.Take();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].request, WorkerRequest::kReload);
  EXPECT_EQ(dir_.Read(kServiceLogName), Line("CCorvinaServiceNT LogOffCtrlHandler SIGHUP"));
}

TEST(SignalPipe, SignalsArriveAsBytesInOrder) {
  SignalPipe signals;
  ASSERT_TRUE(signals.Installed());
  EXPECT_TRUE(signals.Take().empty());
  // raise() runs the handler before it returns, on this thread.
  std::raise(SIGHUP);
  std::raise(SIGTERM);
  std::raise(SIGINT);
  std::raise(SIGPIPE);  // ignored: the process goes on
  EXPECT_EQ(signals.Take(), (std::vector<int>{SIGHUP, SIGTERM, SIGINT}));
  EXPECT_TRUE(signals.Take().empty());
}

TEST(SignalPipe, PutsThePreviousHandlersBack) {
  struct sigaction before {};
  ::sigaction(SIGHUP, nullptr, &before);
  {
    SignalPipe signals;
    struct sigaction during {};
    ::sigaction(SIGHUP, nullptr, &during);
    EXPECT_NE(during.sa_handler, before.sa_handler);
  }
  struct sigaction after {};
  ::sigaction(SIGHUP, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

TEST(SignalPipe, AThreadStartedWithoutSignalsHasThemBlocked) {
  SignalPipe signals;
  bool blocked = false;
  std::thread thread = StartThreadWithoutSignals([&] {
    sigset_t mask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    blocked = sigismember(&mask, SIGTERM) == 1 && sigismember(&mask, SIGINT) == 1 &&
              sigismember(&mask, SIGHUP) == 1;
  });
  thread.join();
  EXPECT_TRUE(blocked);
  sigset_t mine;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &mine);
  EXPECT_EQ(sigismember(&mine, SIGTERM), 0);
}

}  // namespace
}  // namespace vr
