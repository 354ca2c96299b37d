// The control channel end to end inside one process: the main loop with the
// console front end and the control server on one thread, `vesprec ctl` on
// the test's thread, a runtime directory of the test's own.

#include "app/control_commands_posix.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/control_client_posix.h"
#include "app/main_loop_posix.h"
#include "base/civil_time.h"
#include "config/settings.h"
#include "log/strings.h"
#include "support/temp_dir.h"
#include "ui/control_socket_posix.h"

namespace vr {
namespace {

constexpr const char* kPort = "/dev/ttyS7";

class ControlTest : public ::testing::Test {
 protected:
  ControlTest()
      : clock_(ToSeconds(CivilTime{2006, 3, 1, 0, 0, 0, 0})),
        mailbox_(wake_),
        frontEnd_("Vesper Recorder /dev/ttyS7", runtime_.File("vrec.log"),
                  ConsoleStreams{out_, err_, false}, flags_, clock_, Sources()) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    hadRuntimeDir_ = saved != nullptr;
    if (saved) savedRuntimeDir_ = saved;
    ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
    program_.Write("VESPREC.INI", std::string("[General]\r\nCom=") + kPort + "\r\n");
  }

  ~ControlTest() override {
    if (loop_.joinable()) {
      flags_.quit = true;
      // Wakes the loop so that it sees the flag.
      frontEnd_.Post(Message::kDebug, 0, "");
      loop_.join();
    }
    if (hadRuntimeDir_)
      ::setenv("XDG_RUNTIME_DIR", savedRuntimeDir_.c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
  }

  ConsoleSources Sources() {
    ConsoleSources sources;
    sources.currentSite = [this] { return status_.Get().site; };
    sources.lineCount = [this] { return status_.Get().lines; };
    return sources;
  }

  void StartServing() {
    std::string error;
    ASSERT_TRUE(server_.Listen(ControlSocketPath(runtime_.Path(), kPort), error)) << error;
    loop_ = std::thread([this] {
      MainLoopParts parts{
          .frontEnd = frontEnd_,
          .server = &server_,
          .signals = nullptr,
          .answer =
              [this](std::string_view request) { return AnswerControlRequest(context_, request); },
          .onSignal = {},
      };
      RunMainLoop(parts, [this] { return flags_.quit.load(); });
    });
  }

  // `vesprec ctl --dir PROGRAM ARGS...`: the exit status; out and err kept.
  int Ctl(std::vector<std::string> args) {
    ctlOut_.str("");
    ctlErr_.str("");
    return RunControlClient(program_.Path(), args, ctlOut_, ctlErr_);
  }

  std::vector<WorkerMailbox::Item> Requests() { return mailbox_.Take(); }

  test::TempDir runtime_;
  test::TempDir program_;
  bool hadRuntimeDir_ = false;
  std::string savedRuntimeDir_;
  ManualClock clock_;
  ProcessFlags flags_;
  SystemWakeSignal wake_;
  SystemWakeSignal waitEvent_;
  WorkerMailbox mailbox_;
  StatusBoard status_;
  std::ostringstream out_;
  std::ostringstream err_;
  ConsoleFrontEnd frontEnd_;
  ConsoleControlView view_{frontEnd_};
  int quits_ = 0;
  std::vector<SiteFileBytes> siteFiles_;
  SitesMenu menu_ = {{40500, "0001", false}, {40501, "0002", false}, {40502, "0003", true}};
  ControlContext context_{
      .port = kPort,
      .pid = ::getpid(),
      .flags = flags_,
      .mailbox = mailbox_,
      .waitEvent = waitEvent_,
      .status = status_,
      .frontEnd = view_,
      .findSiteItem = [this](std::string_view site) -> std::optional<SiteMenuItem> {
        for (const SitesMenuItem& item : menu_)
          if (item.text == site)
            return SiteMenuItem{static_cast<std::uint32_t>(item.id), item.grayed};
        return std::nullopt;
      },
      .quit =
          [this] {
            ++quits_;
            mailbox_.Post(WorkerRequest::kStopConnection);
            flags_.quit = true;
          },
      .portInFile = [this] { return PortInFile(Profile(program_.File("VESPREC.INI"))); },
      .siteFiles = [this] { return siteFiles_; },
  };
  ControlServer server_;
  std::thread loop_;
  std::ostringstream ctlOut_;
  std::ostringstream ctlErr_;
};

bool SameItems(const std::vector<WorkerMailbox::Item>& items,
               const std::vector<std::pair<WorkerRequest, std::uint32_t>>& expected) {
  if (items.size() != expected.size()) return false;
  for (std::size_t i = 0; i < items.size(); ++i)
    if (items[i].request != expected[i].first || items[i].value != expected[i].second) return false;
  return true;
}

TEST_F(ControlTest, StatusTellsWhatTheWorkerDoes) {
  status_.SetSite("0002");
  status_.SetState(WorkerState::kHeld);
  status_.SetLines(1234);
  frontEnd_.ShowIcon(TrayIcon::kHeld);
  flags_.WarningPending(msg::kDiskSpace) = true;
  flags_.WarningPending(msg::kPortConnect) = true;
  // A display updates the title that status shows.
  frontEnd_.Post(Message::kDisplay, 2, "x\n");
  frontEnd_.ShowOwnerlessBox("DevLink.dll is missing.");
  StartServing();

  ASSERT_EQ(Ctl({"status"}), kCtlAnswered) << ctlErr_.str();
  EXPECT_EQ(ctlOut_.str(),
            "port: /dev/ttyS7\n"
            "pid: " +
                std::to_string(::getpid()) +
                "\n"
                "site: 0002\n"
                "state: held\n"
                "lines: 1234\n"
                "icon: held\n"
                "title: Vesper Recorder /dev/ttyS7  0002  1234 Linee ricevute\n"
                "warnings: 7004 7005\n"
            "box: DevLink.dll is missing.\n");
}

TEST_F(ControlTest, JsonStatusTellsTheSameAndEachSite) {
  status_.SetSite("0002");
  status_.SetState(WorkerState::kReceiving);
  status_.SetLines(3);
  status_.NoteStored("0002", 3, 75, ToSeconds(CivilTime{2006, 3, 1, 0, 0, 9, 0}));
  frontEnd_.ShowIcon(TrayIcon::kReceiving);
  flags_.WarningPending(msg::kDiskSpace) = true;
  siteFiles_ = {{.code = "0001", .inSchedule = true, .overflowBytes = 11, .rescueBytes = 2,
                 .intervalReadMs = 20},
                {.code = "0002", .inSchedule = true, .overflowBytes = 0, .rescueBytes = 0}};
  StartServing();

  ASSERT_EQ(Ctl({"status", "--json"}), kCtlAnswered) << ctlErr_.str();
  EXPECT_EQ(ctlOut_.str(),
            "{\"port\":\"/dev/ttyS7\",\"pid\":" + std::to_string(::getpid()) +
                ",\"site\":\"0002\",\"state\":\"receiving\",\"lines\":3,\"icon\":\"receiving\","
                "\"title\":\"Vesper Recorder /dev/ttyS7\",\"warnings\":[7004],\"sites\":["
                "{\"code\":\"0001\",\"in_schedule\":true,\"last_record\":null,\"records\":0,"
                "\"bytes\":0,\"overflow_bytes\":11,\"rescue_bytes\":2,\"interval_read_ms\":20},"
                "{\"code\":\"0002\",\"in_schedule\":true,\"last_record\":\"2006-03-01T00:00:09\","
                "\"records\":3,\"bytes\":75,\"overflow_bytes\":0,\"rescue_bytes\":0,"
                "\"interval_read_ms\":0}]}\n");
}

TEST_F(ControlTest, StatusTakesNoOtherArgument) {
  StartServing();
  EXPECT_EQ(Ctl({"status", "--xml"}), kCtlRefused);
  EXPECT_NE(ctlErr_.str().find("status takes only --json"), std::string::npos) << ctlErr_.str();
}

TEST_F(ControlTest, StatusBetweenSites) {
  StartServing();
  ASSERT_EQ(Ctl({"status"}), kCtlAnswered);
  EXPECT_NE(ctlOut_.str().find("site:\nstate: idle\nlines: 0\n"), std::string::npos)
      << ctlOut_.str();
  EXPECT_NE(ctlOut_.str().find("title: Vesper Recorder /dev/ttyS7\nwarnings:\n"), std::string::npos)
      << ctlOut_.str();
}

TEST_F(ControlTest, StartPostsTheSitesMenuItem) {
  StartServing();
  ASSERT_EQ(Ctl({"start", "0002"}), kCtlAnswered) << ctlErr_.str();
  EXPECT_EQ(ctlOut_.str(), "");
  EXPECT_TRUE(SameItems(Requests(), {{WorkerRequest::kStartSite, 40501}}));
  EXPECT_FALSE(flags_.stop);
}

TEST_F(ControlTest, StartOfAnUnknownOrDroppedSiteIsRefused) {
  StartServing();
  EXPECT_EQ(Ctl({"start", "9999"}), kCtlRefused);
  EXPECT_NE(ctlErr_.str().find("no site 9999"), std::string::npos) << ctlErr_.str();
  EXPECT_EQ(Ctl({"start", "0003"}), kCtlRefused);
  EXPECT_NE(ctlErr_.str().find("dropped"), std::string::npos) << ctlErr_.str();
  EXPECT_EQ(Ctl({"start"}), kCtlRefused);
  EXPECT_TRUE(Requests().empty());
}

TEST_F(ControlTest, StartWhileASiteIsServedSaysItWaits) {
  frontEnd_.EnableMenuItems(false, true);
  StartServing();
  ASSERT_EQ(Ctl({"start", "0001"}), kCtlAnswered);
  EXPECT_NE(ctlOut_.str().find("note: a site is being served; 0001 starts when it ends"),
            std::string::npos)
      << ctlOut_.str();
  EXPECT_TRUE(SameItems(Requests(), {{WorkerRequest::kStartSite, 40500}}));
}

TEST_F(ControlTest, StopEndsTheConnection) {
  StartServing();
  ASSERT_EQ(Ctl({"stop"}), kCtlAnswered);
  EXPECT_TRUE(flags_.stop);
  EXPECT_FALSE(flags_.quit);
  EXPECT_TRUE(SameItems(Requests(), {{WorkerRequest::kStopConnection, 0}}));
}

TEST_F(ControlTest, ReloadAsksTheWorkerToReadTheConfiguration) {
  StartServing();
  ASSERT_EQ(Ctl({"reload"}), kCtlAnswered);
  EXPECT_TRUE(SameItems(Requests(), {{WorkerRequest::kReload, 0}}));
  EXPECT_FALSE(flags_.stop);  // the worker sets it when it takes the request
}

TEST_F(ControlTest, ReloadOfAChangedPortIsRefused) {
  StartServing();
  program_.Write("VESPREC.INI", "[General]\r\nCom=/dev/ttyUSB3\r\n");
  // Found by its folder, as it serves it.
  std::string error;
  ASSERT_TRUE(LinkFolderToSocket(FolderLinkPath(runtime_.Path(), program_.Path()),
                                 ControlSocketPath(runtime_.Path(), kPort), error))
      << error;
  EXPECT_EQ(Ctl({"reload"}), kCtlRefused);
  EXPECT_NE(ctlErr_.str().find("VESPREC.INI now names the port /dev/ttyUSB3, this instance serves "
                               "/dev/ttyS7: a port change needs a restart"),
            std::string::npos)
      << ctlErr_.str();
  EXPECT_TRUE(Requests().empty());
  // Without Com the file names no other port: the reload goes ahead.
  program_.Write("VESPREC.INI", "[General]\r\nLog=x\r\n");
  EXPECT_EQ(Ctl({"reload"}), kCtlAnswered) << ctlErr_.str();
  EXPECT_TRUE(SameItems(Requests(), {{WorkerRequest::kReload, 0}}));
}

TEST_F(ControlTest, WakeRaisesTheWaitEventOnly) {
  StartServing();
  ASSERT_EQ(Ctl({"wake"}), kCtlAnswered);
  EXPECT_TRUE(Requests().empty());
  EXPECT_TRUE(waitEvent_.Consume());
  // The mailbox's own signal stays low: a wait on it is not woken for nothing.
  EXPECT_FALSE(wake_.Consume());
}

TEST_F(ControlTest, AckClearsThePendingWarnings) {
  frontEnd_.Post(Message::kWarning, msg::kPortConnect, "");
  flags_.WarningPending(msg::kDataFilesCreate) = true;
  StartServing();
  ASSERT_EQ(Ctl({"status"}), kCtlAnswered);
  EXPECT_NE(ctlOut_.str().find("warnings: 7005 7007\n"), std::string::npos) << ctlOut_.str();
  ASSERT_EQ(Ctl({"ack"}), kCtlAnswered);
  for (int id = kFirstWarningId; id <= kLastWarningId; ++id)
    EXPECT_FALSE(flags_.WarningPending(id)) << id;
}

TEST_F(ControlTest, QuitEndsTheMainLoop) {
  StartServing();
  ASSERT_EQ(Ctl({"quit"}), kCtlAnswered);
  loop_.join();  // returns only because the loop ended
  EXPECT_EQ(quits_, 1);
  EXPECT_TRUE(flags_.quit);
  EXPECT_TRUE(SameItems(Requests(), {{WorkerRequest::kStopConnection, 0}}));
}

TEST_F(ControlTest, UnknownCommandsAndStrayArgumentsAreRefused) {
  StartServing();
  EXPECT_EQ(Ctl({"restart"}), kCtlRefused);
  EXPECT_NE(ctlErr_.str().find("unknown command restart"), std::string::npos) << ctlErr_.str();
  EXPECT_EQ(Ctl({"stop", "now"}), kCtlRefused);
  EXPECT_FALSE(flags_.stop);
  EXPECT_TRUE(Requests().empty());
}

TEST_F(ControlTest, WithoutAnInstanceCtlSaysSoWithStatusOne) {
  EXPECT_EQ(Ctl({"status"}), kCtlNoInstance);
  EXPECT_NE(ctlErr_.str().find("no instance serves /dev/ttyS7"), std::string::npos)
      << ctlErr_.str();
  EXPECT_EQ(ctlOut_.str(), "");
}

// A configuration program in the program directory that notes its arguments.
std::string PlantConfigurationProgram(const test::TempDir& program) {
  const std::string mark = program.File("ran");
  const std::string path =
      program.Write(kConfigProgramName, "#!/bin/sh\necho \"$@\" > '" + mark + "'\n");
  ::chmod(path.c_str(), 0755);
  return mark;
}

TEST_F(ControlTest, ConfigRunsTheConfigurationProgramThenReloads) {
  PlantConfigurationProgram(program_);
  StartServing();
  ASSERT_EQ(Ctl({"config"}), kCtlAnswered) << ctlErr_.str();
  EXPECT_EQ(program_.Read("ran"), "--dir " + program_.Path() + "\n");
  EXPECT_TRUE(SameItems(Requests(), {{WorkerRequest::kReload, 0}}));
}

TEST_F(ControlTest, ConfigWithoutAnInstanceRunsNothing) {
  const std::string mark = PlantConfigurationProgram(program_);
  EXPECT_EQ(Ctl({"config"}), kCtlNoInstance);
  EXPECT_FALSE(std::filesystem::exists(mark));
}

TEST_F(ControlTest, CtlNeedsACommandAndAPort) {
  EXPECT_EQ(Ctl({}), kCtlRefused);
  program_.Write("VESPREC.INI", "[General]\r\nLog=x\r\n");
  EXPECT_EQ(Ctl({"status"}), kCtlNoInstance);
  EXPECT_NE(ctlErr_.str().find("names no port"), std::string::npos) << ctlErr_.str();
}

TEST_F(ControlTest, AnotherPortIsAnotherInstance) {
  StartServing();
  program_.Write("VESPREC.INI", "[General]\r\nCom=/dev/ttyS8\r\n");
  EXPECT_EQ(Ctl({"status"}), kCtlNoInstance);
}

}  // namespace
}  // namespace vr
