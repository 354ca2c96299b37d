// The control requests as both programs answer them, on a front end that
// the test stands in for: what they read comes from the view and the
// context, never from the process they happen to run in.

#include "app/control_commands.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "log/strings.h"

namespace vr {
namespace {

class FakeView final : public ControlView {
 public:
  TrayIcon Icon() const override { return icon; }
  std::string Title() const override { return title; }
  std::string LastBox() const override { return box; }
  bool StartEnabled() const override { return startEnabled; }
  bool AcknowledgeWarnings() override {
    ++acknowledgements;
    return canAcknowledge;
  }

  TrayIcon icon = TrayIcon::kIdle;
  std::string title = "Vesper Recorder COM7";
  std::string box;
  bool startEnabled = true;
  bool canAcknowledge = true;
  int acknowledgements = 0;
};

class ControlCommandsTest : public ::testing::Test {
 protected:
  ProcessFlags flags_;
  SystemWakeSignal wake_;
  SystemWakeSignal waitEvent_;
  WorkerMailbox mailbox_{wake_};
  StatusBoard status_;
  FakeView view_;
  ControlContext context_{
      .port = "COM7",
      // Not this test's process: the answer must take the context's.
      .pid = 4242,
      .flags = flags_,
      .mailbox = mailbox_,
      .waitEvent = waitEvent_,
      .status = status_,
      .frontEnd = view_,
      .findSiteItem = [](std::string_view site) -> std::optional<SiteMenuItem> {
        if (site == "0001") return SiteMenuItem{40500, false};
        return std::nullopt;
      },
      .quit = {},
      .portInFile = {},
      .siteFiles = {},
  };
};

TEST_F(ControlCommandsTest, StatusTellsThePidAndTheViewOfTheContext) {
  status_.SetSite("0001");
  status_.SetState(WorkerState::kReceiving);
  status_.SetLines(9);
  view_.icon = TrayIcon::kLineError;
  view_.title = "Vesper Recorder COM7  0001  9 Linee ricevute";
  view_.box = "";
  EXPECT_EQ(AnswerControlRequest(context_, "status"),
            "ok\nport: COM7\npid: 4242\nsite: 0001\nstate: receiving\nlines: 9\n"
            "icon: line-error\ntitle: Vesper Recorder COM7  0001  9 Linee ricevute\n"
            "warnings:\nbox:\n");
  EXPECT_EQ(AnswerControlRequest(context_, "status --json"),
            "ok\n{\"port\":\"COM7\",\"pid\":4242,\"site\":\"0001\",\"state\":\"receiving\","
            "\"lines\":9,\"icon\":\"line-error\",\"title\":\"Vesper Recorder COM7  0001  9 "
            "Linee ricevute\",\"warnings\":[],\"sites\":[]}\n");
}

TEST_F(ControlCommandsTest, AckThatTheFrontEndCannotDoIsRefused) {
  flags_.WarningPending(msg::kDiskSpace) = true;
  view_.canAcknowledge = false;
  const std::string refused = AnswerControlRequest(context_, "ack");
  EXPECT_EQ(refused.rfind("error ", 0), 0u) << refused;
  EXPECT_EQ(view_.acknowledgements, 1);
  EXPECT_TRUE(flags_.WarningPending(msg::kDiskSpace));

  view_.canAcknowledge = true;
  EXPECT_EQ(AnswerControlRequest(context_, "ack"), "ok\n");
  EXPECT_EQ(view_.acknowledgements, 2);
}

TEST_F(ControlCommandsTest, StartWhileASiteRunsSaysWhenItStarts) {
  view_.startEnabled = false;
  EXPECT_EQ(AnswerControlRequest(context_, "start 0001"),
            "ok\nnote: a site is being served; 0001 starts when it ends (ctl stop ends it)\n");
  view_.startEnabled = true;
  EXPECT_EQ(AnswerControlRequest(context_, "start 0001"), "ok\n");
  const auto posted = mailbox_.Take();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[1].request, WorkerRequest::kStartSite);
  EXPECT_EQ(posted[1].value, 40500u);
}

}  // namespace
}  // namespace vr
