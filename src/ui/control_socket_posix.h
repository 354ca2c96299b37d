#pragma once
// The control channel of the POSIX program: a Unix socket named after the
// port, in the user's runtime directory, owner only. `vesprec ctl` sends one
// request line ("COMMAND [ARGUMENT]\n"); the running instance answers with
// lines, the first "ok" or "error TEXT", and closes the connection. The
// server lives in the main thread's poll() loop and never blocks it.

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ui/control_answer.h"

namespace vr {

class Clock;

// Connections served at once; a further one takes the place of the oldest.
inline constexpr std::size_t kMaxControlClients = 16;
// Time a connection has, from its arrival, to send its request line and take
// the whole answer; a client that stays silent or stops reading is closed.
inline constexpr std::uint64_t kControlDeadlineMs = kControlConnectionDeadline.count();

// Where the socket and the instance lock lie: $XDG_RUNTIME_DIR, else
// /run/user/<uid> when it exists, else /tmp/vesprec-<uid>. With create the
// last one is made (mode 0700) when missing. False, with a reason, when there
// is no usable directory (the /tmp one must be ours and owner-only).
bool FindRuntimeDirectory(bool create, std::string& dir, std::string& error);

// "vesprec-" and the Com value made into a file name: bytes other than
// letters, digits, '.', '-' and '_' become '_', leading ones are dropped
// ("/dev/ttyS0" gives "vesprec-dev_ttyS0"); a long value is cut and marked
// with a hash of the whole value.
std::string PortFileStem(std::string_view com);

std::string ControlSocketPath(std::string_view runtimeDir, std::string_view com);

// A second name of an instance's control socket, after the program folder it
// serves (give it canonical), so that `ctl` reaches it even after Com was
// edited in the folder's VESPREC.INI: a symbolic link to the socket.
std::string FolderLinkPath(std::string_view runtimeDir, std::string_view programDir);

// Where the service's instances keep their sockets (the unit's
// RuntimeDirectory); `ctl` looks there after the user's own directory.
inline constexpr const char* kServiceRuntimeDir = "/run/vesprec";

// Makes (or moves) the folder link to the socket; false with a reason.
bool LinkFolderToSocket(const std::string& linkPath, const std::string& socketPath,
                        std::string& error);
// Removes the link when it still names this socket (a later instance of the
// folder may have taken it over).
void UnlinkFolderFromSocket(const std::string& linkPath, const std::string& socketPath);
std::string InstanceLockPath(std::string_view runtimeDir, std::string_view com);

class ControlServer {
 public:
  // The reply to one request line (without its newline).
  using Answer = std::function<std::string(std::string_view request)>;

  ControlServer();  // on the system's clock
  explicit ControlServer(const Clock& clock);
  ~ControlServer();  // closes every connection and removes the socket file
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Creates the socket at path, replacing a stale one (the caller holds the
  // instance lock, so no live instance owns it). False with a reason.
  // beforeNamed runs once the socket listens and just before it takes its
  // name: what must answer by the time a client finds the name (the
  // folder's link) is made there.
  bool Listen(const std::string& path, std::string& error,
              const std::function<void()>& beforeNamed = {});
  bool Listening() const { return listenFd_ >= 0; }

  // Appends the descriptors to watch: the listening socket, then each
  // connection. Call again before every poll(): the set changes.
  void AppendPollSet(std::vector<pollfd>& fds) const;
  // Accepts, reads requests, answers and closes, as poll() reported; fds
  // is the part of the poll set that AppendPollSet added.
  // Also closes the connections whose deadline has passed: call it after
  // every poll(), the time-outs included.
  void HandleEvents(std::span<const pollfd> fds, const Answer& answer);
  // Milliseconds until the next connection's deadline, -1 when none is open:
  // the longest the poll() may wait.
  int MsUntilNextDeadline() const;

 private:
  struct Connection {
    int fd = -1;
    std::uint64_t deadlineMs = 0;  // on clock_'s tick
    std::string request;           // read so far
    std::string reply;             // still to send, once the request is complete
    bool answered = false;
  };

  void Accept();
  // False when the connection is finished and must be closed.
  bool Serve(Connection& connection, const Answer& answer);

  const Clock& clock_;
  int listenFd_ = -1;
  std::string path_;
  std::vector<Connection> connections_;  // oldest first
};

enum class AskResult {
  kAnswered,    // reply holds the whole answer
  kNoInstance,  // nobody listens on that socket
  kNoAnswer,    // connected, but no complete answer within the time
};

// Sends one request line and reads the answer until the server closes.
AskResult AskInstance(const std::string& socketPath, std::string_view request, std::string& reply,
                      int answerTimeoutMs = 10000);

}  // namespace vr
