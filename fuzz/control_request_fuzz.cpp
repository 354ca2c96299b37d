// The control channel's request handling on arbitrary bytes, in two parts.
//
// The request line: AnswerControlRequest must answer every line with "ok"
// or "error TEXT" as ParseAnswer reads it, and must do what the command
// asks and nothing else (the worker's requests, the stop flag, the wait
// event, quit), with the command and argument split as the channel
// describes: blanks around the line dropped, the first blank ends the
// command, blanks before the argument dropped.
//
// The framing: the same bytes, sent to a listening ControlServer in pieces
// of the fuzzer's choice over a real Unix socket, must reach the answer
// function as the first line (one CR before its LF dropped), or the whole
// text when the client ends its side without a newline, or be refused as
// too long; the reply that comes back is exactly the answer.

#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/worker_mailbox.h"
#include "app/control_commands_posix.h"
#include "base/clock.h"
#include "base/flags.h"
#include "base/wake_signal.h"
#include "fuzz_check.h"
#include "ui/console_posix.h"
#include "ui/control_socket_posix.h"

namespace {

using namespace vr;

struct MenuSite {
  const char* code;
  std::uint32_t id;
  bool grayed;
};
constexpr MenuSite kMenu[] = {{"0001", 40500, false}, {"A B", 40501, false}, {"0003", 40502, true}};

// Everything a ControlContext refers to, made once: the front end runs a
// thread of its own.
struct Harness {
  std::string dir;
  ManualClock clock{0};
  ProcessFlags flags;
  SystemWakeSignal wake;
  SystemWakeSignal waitEvent;
  WorkerMailbox mailbox{wake};
  StatusBoard status;
  std::ostringstream out;
  std::ostringstream err;
  std::unique_ptr<ConsoleFrontEnd> frontEnd;
  std::unique_ptr<ConsoleControlView> view;
  int quits = 0;
  std::unique_ptr<ControlContext> context;
  ControlServer server;
  std::string socketPath;
};

Harness* g = nullptr;

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Checks the answer to one request line and what it made happen.
void CheckRequest(std::string_view request) {
  g->mailbox.Take();
  g->waitEvent.Consume();
  g->flags.stop = false;
  const int quitsBefore = g->quits;

  const std::string answer = AnswerControlRequest(*g->context, request);

  const std::string_view line = TrimBlanks(request);
  const std::size_t blank = line.find(' ');
  const std::string command(line.substr(0, blank));
  const std::string argument(blank == std::string_view::npos ? std::string_view()
                                                             : TrimBlanks(line.substr(blank + 1)));

  std::vector<WorkerMailbox::Item> posted = g->mailbox.Take();
  const bool woken = g->waitEvent.Consume();
  const bool stopped = g->flags.stop.exchange(false);
  const bool quitted = g->quits != quitsBefore;

  VR_FUZZ_CHECK(!answer.empty() && answer.back() == '\n');
  const bool ok = answer.rfind("ok\n", 0) == 0;
  VR_FUZZ_CHECK(ok || answer.rfind("error ", 0) == 0);
  if (request.find('\n') == std::string_view::npos) {
    std::vector<std::string> lines;
    std::string message;
    VR_FUZZ_CHECK(ParseAnswer(answer, lines, message) == ok);
    if (!ok) VR_FUZZ_CHECK(message == answer.substr(6, answer.size() - 7));
  }

  std::optional<WorkerRequest> expectedPost;
  std::uint32_t expectedValue = 0;
  bool expectOk = false;
  if (command == "start") {
    for (const MenuSite& site : kMenu) {
      if (argument != site.code) continue;
      expectOk = !site.grayed;
      if (expectOk) {
        expectedPost = WorkerRequest::kStartSite;
        expectedValue = site.id;
      }
    }
  } else if (command == "status" && argument == "--json") {
    expectOk = true;
  } else if (argument.empty()) {
    if (command == "stop") expectedPost = WorkerRequest::kStopConnection;
    if (command == "reload") expectedPost = WorkerRequest::kReload;
    expectOk = command == "status" || command == "stop" || command == "reload" ||
               command == "wake" || command == "ack" || command == "quit";
  }
  VR_FUZZ_CHECK(ok == expectOk);
  if (!ok && command != "start") {
    const std::string expected =
        command.empty()                           ? "error empty request\n"
        : command == "status" && !argument.empty() ? "error status takes only --json\n"
        : !argument.empty()                       ? "error " + command + " takes no argument\n"
                                                  : "error unknown command " + command + "\n";
    VR_FUZZ_CHECK(answer == expected);
  }
  VR_FUZZ_CHECK(posted.size() == (expectedPost ? 1u : 0u));
  if (expectedPost) {
    VR_FUZZ_CHECK(posted[0].request == *expectedPost);
    VR_FUZZ_CHECK(posted[0].value == expectedValue);
  }
  VR_FUZZ_CHECK(stopped == (ok && command == "stop"));
  VR_FUZZ_CHECK(woken == (ok && command == "wake"));
  VR_FUZZ_CHECK(quitted == (ok && command == "quit"));
  if (ok && command == "status" && argument.empty()) {
    VR_FUZZ_CHECK(answer.find("\nport: /dev/ttyS7\n") != std::string::npos);
    VR_FUZZ_CHECK(answer.find("\nwarnings:") != std::string::npos);
  }
  if (ok && command == "status" && !argument.empty()) {
    // One line of JSON after the "ok".
    VR_FUZZ_CHECK(answer.find("\n{\"port\":\"/dev/ttyS7\",") != std::string::npos);
    VR_FUZZ_CHECK(answer.back() == '\n' && answer[answer.size() - 2] == '}');
  }
}

// One turn of the server's part of a poll() loop.
void ServerTurn(int timeoutMs, const ControlServer::Answer& answer) {
  std::vector<pollfd> fds;
  g->server.AppendPollSet(fds);
  VR_FUZZ_CHECK(!fds.empty());
  const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
  VR_FUZZ_CHECK(ready >= 0 || errno == EINTR);
  if (ready > 0) g->server.HandleEvents(fds, answer);
}

// Reads what has arrived; true once the server has closed.
bool ReadReply(int fd, std::string& reply) {
  for (;;) {
    char buffer[4096];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      reply.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    return true;  // reset: the server closed with bytes of ours unread
  }
}

void CheckFraming(std::string_view bytes, FuzzedDataProvider& cuts) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  VR_FUZZ_CHECK(fd >= 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, g->socketPath.c_str(), g->socketPath.size() + 1);
  VR_FUZZ_CHECK(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);

  std::vector<std::string> asked;
  const ControlServer::Answer answer = [&](std::string_view request) {
    asked.emplace_back(request);
    return "ok\n[" + std::string(request) + "]\n";
  };
  std::string reply;
  bool closed = false;
  std::size_t sent = 0;
  while (sent < bytes.size() && !closed) {
    const std::size_t piece = cuts.ConsumeIntegralInRange<std::size_t>(1, bytes.size() - sent);
    const ssize_t n = ::send(fd, bytes.data() + sent, piece, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server answered and closed before the rest
    sent += static_cast<std::size_t>(n);
    ServerTurn(0, answer);
    ServerTurn(0, answer);
    closed = ReadReply(fd, reply);
  }
  ::shutdown(fd, SHUT_WR);
  // Every step is a local socket event, so the server finishes within a
  // few turns; the bound only keeps a broken server from hanging the run.
  for (int turn = 0; turn < 200 && !closed; ++turn) {
    ServerTurn(50, answer);
    closed = ReadReply(fd, reply);
  }
  ::close(fd);
  VR_FUZZ_CHECK(closed);

  // What the server must have made of the bytes.
  const std::size_t lf = bytes.find('\n');
  std::optional<std::string> request;
  bool tooLong = false;
  if (lf != std::string_view::npos && lf <= kMaxControlRequestBytes) {
    request = std::string(bytes.substr(0, lf));
  } else if (lf == std::string_view::npos && bytes.size() <= kMaxControlRequestBytes) {
    if (!bytes.empty()) request = std::string(bytes);
  } else {
    tooLong = true;
  }
  if (request && !request->empty() && request->back() == '\r') request->pop_back();

  VR_FUZZ_CHECK(asked.size() == (request ? 1u : 0u));
  if (request) {
    VR_FUZZ_CHECK(asked[0] == *request);
    VR_FUZZ_CHECK(reply == "ok\n[" + *request + "]\n");
  } else if (tooLong) {
    VR_FUZZ_CHECK(reply == "error request too long\n");
  } else {
    VR_FUZZ_CHECK(reply.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g = new Harness;
  char dir[] = "/tmp/vr-control-fuzz-XXXXXX";
  VR_FUZZ_CHECK(::mkdtemp(dir) != nullptr);
  g->dir = dir;
  g->frontEnd = std::make_unique<ConsoleFrontEnd>(
      "Vesper Recorder /dev/ttyS7", g->dir + "/vrec.log", ConsoleStreams{g->out, g->err, false},
      g->flags, g->clock, ConsoleSources{});
  g->view = std::make_unique<ConsoleControlView>(*g->frontEnd);
  g->context = std::make_unique<ControlContext>(ControlContext{
      .port = "/dev/ttyS7",
      .pid = ::getpid(),
      .flags = g->flags,
      .mailbox = g->mailbox,
      .waitEvent = g->waitEvent,
      .status = g->status,
      .frontEnd = *g->view,
      .findSiteItem = [](std::string_view site) -> std::optional<SiteMenuItem> {
        for (const MenuSite& item : kMenu)
          if (site == item.code) return SiteMenuItem{item.id, item.grayed};
        return std::nullopt;
      },
      .quit = [] { ++g->quits; },
  });
  g->socketPath = g->dir + "/control.sock";
  std::string error;
  VR_FUZZ_CHECK(g->server.Listen(g->socketPath, error));
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g->dir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The last bytes choose where the framing part cuts the text.
  FuzzedDataProvider cuts(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Each line as a request, as the server hands it over.
  std::size_t start = 0;
  for (int lines = 0; lines < 8 && start <= text.size(); ++lines) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    CheckRequest(line);
    start = end + 1;
  }
  CheckRequest(text);  // newlines and all

  CheckFraming(text, cuts);
  return 0;
}
