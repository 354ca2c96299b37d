#include "ui/control_socket_posix.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/wake_signal.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

// A tick that moves only when the test says, read by the serving thread.
class SteppedClock final : public Clock {
 public:
  LocalNow Now() const override { return {}; }
  std::uint64_t TickMs() const override { return tickMs_; }
  void SleepMs(std::uint32_t ms) const override { tickMs_ += ms; }
  void AdvanceMs(std::uint64_t ms) { tickMs_ += ms; }

 private:
  mutable std::atomic<std::uint64_t> tickMs_{1000};
};

// Runs a server's poll() loop on a thread of its own, as the main loop does,
// until the test ends.
class ServingThread {
 public:
  ServingThread(ControlServer& server, ControlServer::Answer answer)
      : server_(server), answer_(std::move(answer)), thread_([this] { Run(); }) {}
  ~ServingThread() {
    stopping_ = true;
    stop_.Signal();
    thread_.join();
  }

 private:
  void Run() {
    std::vector<pollfd> fds;
    while (!stopping_) {
      fds.clear();
      fds.push_back({static_cast<int>(stop_.NativeHandle()), POLLIN, 0});
      server_.AppendPollSet(fds);
      if (::poll(fds.data(), fds.size(), server_.MsUntilNextDeadline()) < 0) continue;
      server_.HandleEvents(std::span<const pollfd>(fds).subspan(1), answer_);
    }
  }

  ControlServer& server_;
  ControlServer::Answer answer_;
  SystemWakeSignal stop_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Echoes the request, so a test sees exactly what the server read.
std::string Echo(std::string_view request) { return "ok\n[" + std::string(request) + "]\n"; }

int ConnectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return fd;
}

std::string ReadToEnd(int fd) {
  std::string all;
  char buffer[256];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) all.append(buffer, got);
  return all;
}

TEST(PortFileStem, KeepsAPortNameReadable) {
  EXPECT_EQ(PortFileStem("/dev/ttyS0"), "vesprec-dev_ttyS0");
  EXPECT_EQ(PortFileStem("/dev/serial/by-id/usb-FTDI_A6-if00"),
            "vesprec-dev_serial_by-id_usb-FTDI_A6-if00");
  EXPECT_EQ(PortFileStem("COM1"), "vesprec-COM1");
  EXPECT_EQ(PortFileStem("com 2:"), "vesprec-com_2_");
  EXPECT_EQ(PortFileStem(""), "vesprec-port");
  EXPECT_EQ(PortFileStem("///"), "vesprec-port");
}

TEST(PortFileStem, NeverLeavesTheDirectory) {
  EXPECT_EQ(PortFileStem("../../etc/passwd"), "vesprec-.._.._etc_passwd");
  EXPECT_EQ(PortFileStem("a/../b").find('/'), std::string::npos);
}

TEST(PortFileStem, LongNamesAreCutButStayApart) {
  const std::string common(100, 'x');
  const std::string a = PortFileStem("/dev/" + common + "A");
  const std::string b = PortFileStem("/dev/" + common + "B");
  EXPECT_EQ(a.size(), std::string("vesprec-").size() + 64);
  EXPECT_EQ(b.size(), a.size());
  EXPECT_NE(a, b);
  EXPECT_EQ(a, PortFileStem("/dev/" + common + "A"));
}

TEST(ControlPaths, SocketAndLockAreNamedAfterThePort) {
  EXPECT_EQ(ControlSocketPath("/run/user/1000", "/dev/ttyUSB0"),
            "/run/user/1000/vesprec-dev_ttyUSB0.sock");
  EXPECT_EQ(InstanceLockPath("/run/user/1000", "/dev/ttyUSB0"),
            "/run/user/1000/vesprec-dev_ttyUSB0.lock");
}

TEST(RuntimeDirectory, TheUsersRuntimeDirectoryComesFirst) {
  test::TempDir dir;
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedValue = saved ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
  std::string found;
  std::string error;
  EXPECT_TRUE(FindRuntimeDirectory(false, found, error));
  EXPECT_EQ(found, dir.Path());

  // A variable that names no directory is passed over.
  ::setenv("XDG_RUNTIME_DIR", dir.File("missing").c_str(), 1);
  EXPECT_TRUE(!FindRuntimeDirectory(false, found, error) || found != dir.File("missing"));
  if (saved)
    ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(ControlServer, AnswersARequestAndClosesTheConnection) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-x.sock");
  ControlServer server;
  std::string error;
  ASSERT_TRUE(server.Listen(path, error)) << error;
  ServingThread serving(server, Echo);

  std::string answer;
  ASSERT_EQ(AskInstance(path, "status", answer), AskResult::kAnswered);
  EXPECT_EQ(answer, "ok\n[status]\n");
  ASSERT_EQ(AskInstance(path, "start 0001", answer), AskResult::kAnswered);
  EXPECT_EQ(answer, "ok\n[start 0001]\n");
}

TEST(ControlServer, TheSocketIsTheOwnersOnly) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-x.sock");
  ControlServer server;
  std::string error;
  ASSERT_TRUE(server.Listen(path, error)) << error;
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(ControlServer, ReplacesAStaleSocketAndRemovesItsOwnAtTheEnd) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-x.sock");
  {
    // A socket file left behind by a run that ended without cleaning up.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  std::string answer;
  EXPECT_EQ(AskInstance(path, "status", answer), AskResult::kNoInstance);
  {
    ControlServer server;
    std::string error;
    ASSERT_TRUE(server.Listen(path, error)) << error;
    ServingThread serving(server, Echo);
    EXPECT_EQ(AskInstance(path, "status", answer), AskResult::kAnswered);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(AskInstance(path, "status", answer), AskResult::kNoInstance);
}

TEST(ControlServer, RefusesAPathTooLongForASocket) {
  ControlServer server;
  std::string error;
  EXPECT_FALSE(server.Listen("/tmp/" + std::string(200, 'x'), error));
  EXPECT_NE(error, "");
  EXPECT_FALSE(server.Listening());
}

TEST(ControlServer, ALineWithoutNewlineCountsWhenTheClientEndsItsSide) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-x.sock");
  ControlServer server;
  std::string error;
  ASSERT_TRUE(server.Listen(path, error)) << error;
  ServingThread serving(server, Echo);

  const int fd = ConnectTo(path);
  ASSERT_EQ(::write(fd, "ack\r", 4), 4);
  ::shutdown(fd, SHUT_WR);
  EXPECT_EQ(ReadToEnd(fd), "ok\n[ack]\n");
  ::close(fd);
}

TEST(ControlServer, ARequestMayComeInPiecesAndEndsAtItsNewline) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-x.sock");
  ControlServer server;
  std::string error;
  ASSERT_TRUE(server.Listen(path, error)) << error;
  ServingThread serving(server, Echo);

  const int fd = ConnectTo(path);
  ASSERT_EQ(::write(fd, "sta", 3), 3);
  ASSERT_EQ(::write(fd, "rt 00", 5), 5);
  ASSERT_EQ(::write(fd, "02\nignored", 10), 10);
  EXPECT_EQ(ReadToEnd(fd), "ok\n[start 0002]\n");
  ::close(fd);
}

TEST(ControlServer, ATooLongRequestIsRefused) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-x.sock");
  ControlServer server;
  std::string error;
  ASSERT_TRUE(server.Listen(path, error)) << error;
  ServingThread serving(server, Echo);

  std::string answer;
  ASSERT_EQ(AskInstance(path, std::string(kMaxControlRequestBytes + 1, 'a'), answer),
            AskResult::kAnswered);
  EXPECT_EQ(answer, "error request too long\n");
  ASSERT_EQ(AskInstance(path, std::string(kMaxControlRequestBytes, 'a'), answer),
            AskResult::kAnswered);
  EXPECT_EQ(answer, "ok\n[" + std::string(kMaxControlRequestBytes, 'a') + "]\n");
}

TEST(ControlServer, ASilentClientDoesNotHoldUpTheOthers) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-x.sock");
  ControlServer server;
  std::string error;
  ASSERT_TRUE(server.Listen(path, error)) << error;
  ServingThread serving(server, Echo);

  const int silent = ConnectTo(path);
  std::string answer;
  EXPECT_EQ(AskInstance(path, "status", answer), AskResult::kAnswered);
  EXPECT_EQ(answer, "ok\n[status]\n");
  ::close(silent);
}

// True when the server has closed its end of fd, whatever it sent before and
// the client left unread (reading would let the server go on sending).
bool ClosedByServer(int fd) {
  pollfd watched{fd, POLLRDHUP, 0};
  return ::poll(&watched, 1, 0) == 1 && (watched.revents & (POLLRDHUP | POLLHUP)) != 0;
}

TEST(ControlServer, AFullTableOfSilentClientsDoesNotTurnARequestAway) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-x.sock");
  SteppedClock clock;  // never moves: no deadline helps here
  ControlServer server(clock);
  std::string error;
  ASSERT_TRUE(server.Listen(path, error)) << error;
  ServingThread serving(server, Echo);

  std::vector<int> silent;
  for (std::size_t i = 0; i < kMaxControlClients; ++i) silent.push_back(ConnectTo(path));
  for (int round = 0; round < 3; ++round) {
    std::string answer;
    ASSERT_EQ(AskInstance(path, "quit", answer), AskResult::kAnswered) << round;
    EXPECT_EQ(answer, "ok\n[quit]\n");
  }
  // The place went to the ones that waited longest: the first connections.
  EXPECT_TRUE(ClosedByServer(silent.front()));
  EXPECT_FALSE(ClosedByServer(silent.back()));
  for (const int fd : silent) ::close(fd);
}

// Answers "big" with more than a socket's buffers hold.
std::string BigOrEcho(std::string_view request) {
  return request == "big" ? "ok\n" + std::string(8 << 20, 'x') + "\n" : Echo(request);
}

TEST(ControlServer, AClientHasAFewSecondsToAskAndTakeItsAnswer) {
  struct Case {
    const char* what;
    std::string sends;  // then it neither sends more nor reads
  };
  const Case cases[] = {
      {"says nothing", ""},
      {"stops in the middle of its line", "stat"},
      {"never reads its answer", "big\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string path = dir.File("vesprec-x.sock");
    SteppedClock clock;
    ControlServer server(clock);
    std::string error;
    ASSERT_TRUE(server.Listen(path, error)) << error;
    ServingThread serving(server, BigOrEcho);

    const int client = ConnectTo(path);
    if (!c.sends.empty()) {
      ASSERT_EQ(::send(client, c.sends.data(), c.sends.size(), 0),
                static_cast<ssize_t>(c.sends.size()));
    }
    // Each answered request is a full turn of the server after the
    // connections that came before it: the client was taken and served.
    std::string answer;
    ASSERT_EQ(AskInstance(path, "status", answer), AskResult::kAnswered);
    clock.AdvanceMs(kControlDeadlineMs - 1);
    ASSERT_EQ(AskInstance(path, "status", answer), AskResult::kAnswered);
    EXPECT_FALSE(ClosedByServer(client)) << "closed before its deadline";
    clock.AdvanceMs(1);
    ASSERT_EQ(AskInstance(path, "status", answer), AskResult::kAnswered);
    EXPECT_TRUE(ClosedByServer(client)) << "kept after its deadline";
    ::close(client);
  }
}

TEST(ControlServer, WhatIsMadeBeforeTheNameAnswersAsSoonAsTheNameIsThere) {
  test::TempDir dir;
  const std::string path = dir.File("vesprec-x.sock");
  const std::string link = dir.File("vesprec-dir-x.sock");
  ControlServer server;
  std::string error;
  bool nameWasThere = true;
  // The moment between listening and being named, held open by the test:
  // whatever a client finds by the name must already be in place here.
  ASSERT_TRUE(server.Listen(path, error, [&] {
    nameWasThere = std::filesystem::exists(path);
    std::string linkError;
    EXPECT_TRUE(LinkFolderToSocket(link, path, linkError)) << linkError;
  })) << error;
  EXPECT_FALSE(nameWasThere) << "a client could find the socket before its link was made";
  ServingThread serving(server, Echo);
  std::string answer;
  EXPECT_EQ(AskInstance(link, "status", answer), AskResult::kAnswered);
  EXPECT_EQ(AskInstance(path, "status", answer), AskResult::kAnswered);
}

TEST(AskInstance, NobodyListeningMeansNoInstance) {
  test::TempDir dir;
  std::string answer;
  EXPECT_EQ(AskInstance(dir.File("vesprec-none.sock"), "status", answer), AskResult::kNoInstance);
}

TEST(ParseAnswer, SplitsOkFromErrorAndKeepsTheLines) {
  std::vector<std::string> lines;
  std::string message;
  EXPECT_TRUE(ParseAnswer("ok\nsite: 0001\nstate: idle\n", lines, message));
  EXPECT_EQ(lines, (std::vector<std::string>{"site: 0001", "state: idle"}));
  EXPECT_EQ(message, "");

  EXPECT_FALSE(ParseAnswer("error no site 9 in the sites menu\n", lines, message));
  EXPECT_EQ(message, "no site 9 in the sites menu");
  EXPECT_TRUE(lines.empty());

  EXPECT_FALSE(ParseAnswer("", lines, message));
  EXPECT_FALSE(ParseAnswer("okay\n", lines, message));
}

}  // namespace
}  // namespace vr
