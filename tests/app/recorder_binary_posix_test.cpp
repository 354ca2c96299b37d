// Short runs of the real vesprec program (built beside this test program's
// folder) on an idle configuration: start-up, the instance guard, `ctl`,
// the signals and the orderly stop, seen from outside.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "app/control_client_posix.h"
#include "app/instance_guard.h"
#include "app/recorder_posix.h"
#include "app/service_log.h"
#include "log/strings.h"
#include "support/temp_dir.h"
#include "ui/control_socket_posix.h"

extern char** environ;

namespace vr {
namespace {

constexpr const char* kPort = "/dev/vesper-test-port";

std::string VesprecPath() {
  char self[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return {};
  const std::filesystem::path tests =
      std::filesystem::path(std::string(self, length)).parent_path();
  const std::filesystem::path program = tests.parent_path() / "src" / "vesprec";
  return std::filesystem::exists(program) ? program.string() : std::string();
}

class RecorderBinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vesprec_ = VesprecPath();
    if (vesprec_.empty()) GTEST_SKIP() << "no vesprec beside the tests";
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    hadRuntimeDir_ = saved != nullptr;
    if (saved) savedRuntimeDir_ = saved;
    ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
    // One periodic site due in 2040: the worker stays idle.
    program_.Write("VESPREC.INI", std::string("[General]\r\nCom=") + kPort +
                                      "\r\nLog=" + program_.File("vrec.log") +
                                      "\r\n[0001]\r\nOgni=3600\r\nSitoAbilitato=1\r\n"
                                      "Ricorrenza=-1\r\nOra=10.00 01-01-2040p\r\n");
  }

  void TearDown() override {
    for (const Run& run : runs_) {
      if (run.pid > 0 && !run.ended) {
        ::kill(run.pid, SIGKILL);
        ::waitpid(run.pid, nullptr, 0);
      }
      if (run.outFd >= 0) ::close(run.outFd);
    }
    if (hadRuntimeDir_)
      ::setenv("XDG_RUNTIME_DIR", savedRuntimeDir_.c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
  }

  struct Run {
    pid_t pid = -1;
    int outFd = -1;  // the program's standard output; ends when it ends
    std::string errPath;
    bool ended = false;
  };

  // Starts vesprec --dir PROGRAM; standard error goes to a file.
  Run& Start(const std::string& errName) {
    Run run;
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    run.errPath = program_.File(errName);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, run.errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string dirOption = "--dir";
    std::string dir = program_.Path();
    std::string name = "vesprec";
    char* argv[] = {name.data(), dirOption.data(), dir.data(), nullptr};
    EXPECT_EQ(::posix_spawn(&run.pid, vesprec_.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    run.outFd = out[0];
    runs_.push_back(run);
    return runs_.back();
  }

  // Blocks until the instance's control socket is in place under the port's
  // name; false when the program ended first. That name is the instance's
  // word that it answers: it is given last, once the folder's name answers too.
  bool WaitUntilListening(Run& run) {
    const std::string socket = ControlSocketPath(runtime_.Path(), kPort);
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(watch, runtime_.Path().c_str(), IN_CREATE | IN_MOVED_TO);
    bool listening = false;
    for (;;) {
      if (std::filesystem::exists(socket)) {
        listening = true;
        break;
      }
      pollfd fds[2] = {{watch, POLLIN, 0}, {run.outFd, POLLIN, 0}};
      ::poll(fds, 2, -1);
      if (fds[1].revents & (POLLHUP | POLLIN)) {
        // Output, or the end: an idle run prints nothing, so it ended.
        break;
      }
      char events[4096];
      [[maybe_unused]] const ssize_t got = ::read(watch, events, sizeof events);
    }
    ::close(watch);
    return listening;
  }

  // Waits for the program's end: its exit status, or -1 when a signal ended it.
  int Wait(Run& run) {
    int status = 0;
    ::waitpid(run.pid, &status, 0);
    run.ended = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Output(Run& run) {
    std::string all;
    char buffer[1024];
    ssize_t got;
    while ((got = ::read(run.outFd, buffer, sizeof buffer)) > 0) all.append(buffer, got);
    return all;
  }

  int Ctl(std::vector<std::string> args, std::string* out = nullptr) {
    std::ostringstream o;
    std::ostringstream e;
    const int status = RunControlClient(program_.Path(), args, o, e);
    if (out) *out = o.str();
    return status;
  }

  std::string Log() const { return program_.Read("vrec.log"); }

  test::TempDir runtime_;
  test::TempDir program_;
  std::string vesprec_;
  bool hadRuntimeDir_ = false;
  std::string savedRuntimeDir_;
  std::list<Run> runs_;  // a list: a Run& stays valid while others start
};

// The texts of the log's lines, in order (the prefix and the time cut off).
std::vector<std::string> LogTexts(const std::string& log) {
  std::vector<std::string> texts;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 26) texts.push_back(line.substr(26));
  }
  return texts;
}

TEST_F(RecorderBinaryTest, RunsUntilSigtermAndStopsInOrder) {
  Run& run = Start("err.txt");
  ASSERT_TRUE(WaitUntilListening(run)) << program_.Read("err.txt");

  std::string status;
  ASSERT_EQ(Ctl({"status"}, &status), kCtlAnswered);
  EXPECT_NE(status.find("port: /dev/vesper-test-port\n"), std::string::npos) << status;
  EXPECT_NE(status.find("pid: " + std::to_string(run.pid) + "\n"), std::string::npos) << status;
  EXPECT_NE(status.find("state: idle\n"), std::string::npos) << status;

  ::kill(run.pid, SIGTERM);
  EXPECT_EQ(Wait(run), kExitStopped);
  EXPECT_EQ(LogTexts(Log()),
            (std::vector<std::string>{"Avvio Vesper Recorder.", "Chiusura di Vesper Recorder."}));
  const std::string service = program_.Read(kServiceLogName);
  EXPECT_NE(service.find(std::string(service_log::kInstalled) + "\n"), std::string::npos)
      << service;
  EXPECT_NE(service.find(" CCorvinaServiceNT LogOffCtrlHandler SIGTERM\n"), std::string::npos)
      << service;
  EXPECT_FALSE(std::filesystem::exists(ControlSocketPath(runtime_.Path(), kPort)));
  EXPECT_EQ(Ctl({"status"}), kCtlNoInstance);
}

TEST_F(RecorderBinaryTest, CtlQuitStopsInOrder) {
  Run& run = Start("err.txt");
  ASSERT_TRUE(WaitUntilListening(run)) << program_.Read("err.txt");
  ASSERT_EQ(Ctl({"quit"}), kCtlAnswered);
  EXPECT_EQ(Wait(run), kExitStopped);
  EXPECT_EQ(LogTexts(Log()).back(), "Chiusura di Vesper Recorder.");
  // Only signals are noted in the service log.
  EXPECT_EQ(program_.Read(kServiceLogName).find("LogOffCtrlHandler"), std::string::npos);
}

TEST_F(RecorderBinaryTest, ASecondStartShowsTheRunningInstanceAndEnds) {
  Run& first = Start("first.txt");
  ASSERT_TRUE(WaitUntilListening(first)) << program_.Read("first.txt");
  Run& second = Start("second.txt");
  EXPECT_EQ(Wait(second), kExitAlreadyRunning);
  const std::string shown = Output(second);
  EXPECT_NE(shown.find("pid: " + std::to_string(first.pid) + "\n"), std::string::npos) << shown;
  EXPECT_NE(program_.Read("second.txt").find("an instance already serves /dev/vesper-test-port"),
            std::string::npos);
  // Its start and close lines, and the first one still runs.
  EXPECT_EQ(LogTexts(Log()),
            (std::vector<std::string>{"Avvio Vesper Recorder.", "Avvio Vesper Recorder.",
                                      "Chiusura di Vesper Recorder."}));
  EXPECT_EQ(Ctl({"status"}), kCtlAnswered);
}

TEST_F(RecorderBinaryTest, AHeldGuardWithoutAnAnsweringInstanceStillRefuses) {
  InstanceGuard lock;
  std::string error;
  ASSERT_EQ(lock.Acquire(InstanceLockPath(runtime_.Path(), kPort), error),
            InstanceGuard::Result::kAcquired);
  Run& run = Start("err.txt");
  EXPECT_EQ(Wait(run), kExitAlreadyRunning);
  EXPECT_NE(program_.Read("err.txt").find("does not answer"), std::string::npos)
      << program_.Read("err.txt");
  EXPECT_EQ(LogTexts(Log()),
            (std::vector<std::string>{"Avvio Vesper Recorder.", "Chiusura di Vesper Recorder."}));
}

TEST_F(RecorderBinaryTest, CtlReachesTheInstanceAfterComWasEditedAndRefusesItsReload) {
  Run& run = Start("err.txt");
  ASSERT_TRUE(WaitUntilListening(run)) << program_.Read("err.txt");
  bool folderNamed = false;
  for (const auto& entry : std::filesystem::directory_iterator(runtime_.Path()))
    if (entry.path().filename().string().rfind("vesprec-dir-", 0) == 0) folderNamed = true;
  EXPECT_TRUE(folderNamed) << "the port's name came before the folder's";
  std::string ini = program_.Read("VESPREC.INI");
  ini.replace(ini.find(kPort), std::string(kPort).size(), "/dev/vesper-other-port");
  program_.Write("VESPREC.INI", ini);

  std::string status;
  ASSERT_EQ(Ctl({"status"}, &status), kCtlAnswered);
  EXPECT_NE(status.find("port: /dev/vesper-test-port\n"), std::string::npos) << status;
  EXPECT_EQ(Ctl({"reload"}), kCtlRefused);

  // SIGHUP asks for the same reload: refused too, with a line in the log.
  ::kill(run.pid, SIGHUP);
  const std::string refused =
      "Configurazione non ricaricata: VESPREC.INI indica la porta /dev/vesper-other-port, "
      "questa istanza serve /dev/vesper-test-port";
  // The worker takes the request in its own time: look until the line is there.
  for (int look = 0; look < 400 && Log().find(refused) == std::string::npos; ++look)
    ::usleep(25'000);
  EXPECT_NE(Log().find(refused), std::string::npos) << Log();
  ASSERT_EQ(Ctl({"status"}, &status), kCtlAnswered);
  EXPECT_NE(status.find("port: /dev/vesper-test-port\n"), std::string::npos) << status;
  ASSERT_EQ(Ctl({"quit"}), kCtlAnswered);
  EXPECT_EQ(Wait(run), kExitStopped);
  // The folder's name for the socket went with the instance.
  for (const auto& entry : std::filesystem::directory_iterator(runtime_.Path()))
    EXPECT_EQ(entry.path().filename().string().find("vesprec-dir-"), std::string::npos)
        << entry.path();
}

TEST_F(RecorderBinaryTest, SilentControlClientsDoNotLockCtlOut) {
  Run& run = Start("err.txt");
  ASSERT_TRUE(WaitUntilListening(run)) << program_.Read("err.txt");
  const std::string socket = ControlSocketPath(runtime_.Path(), kPort);
  std::vector<int> silent;
  for (std::size_t i = 0; i < kMaxControlClients; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    silent.push_back(fd);
  }
  // ctl's own wait for an answer is 10 s: within it, or not at all.
  std::string status;
  EXPECT_EQ(Ctl({"status"}, &status), kCtlAnswered);
  EXPECT_NE(status.find("state: idle\n"), std::string::npos) << status;
  ASSERT_EQ(Ctl({"quit"}), kCtlAnswered);
  EXPECT_EQ(Wait(run), kExitStopped);
  for (const int fd : silent) ::close(fd);
}

TEST_F(RecorderBinaryTest, ALogThatCannotBeWrittenIsSaidOnceOnStandardError) {
  std::string ini = program_.Read("VESPREC.INI");
  const std::string log = program_.File("vrec.log");
  ini.replace(ini.find(log), log.size(), program_.File("no-such-folder/vrec.log"));
  program_.Write("VESPREC.INI", ini);
  Run& run = Start("err.txt");
  ASSERT_TRUE(WaitUntilListening(run)) << program_.Read("err.txt");
  ASSERT_EQ(Ctl({"quit"}), kCtlAnswered);
  EXPECT_EQ(Wait(run), kExitStopped);
  const std::string err = program_.Read("err.txt");
  const std::string notice = "cannot write the error log " + program_.File("no-such-folder/vrec.log");
  EXPECT_NE(err.find(notice), std::string::npos) << err;
  EXPECT_EQ(err.find(notice), err.rfind(notice)) << err;  // start and close lines: said once
}

TEST_F(RecorderBinaryTest, AnUnusableConfigurationEndsAtOnce) {
  program_.Write("VESPREC.INI", "");
  Run& run = Start("err.txt");
  EXPECT_EQ(Wait(run), kExitCannotRun);
  const std::string err = program_.Read("err.txt");
  EXPECT_NE(err.find(std::string(MessageText(msg::kConfigUnusable))), std::string::npos) << err;
  EXPECT_NE(err.find("--check"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(program_.File("vrec.log")));
}

}  // namespace
}  // namespace vr
