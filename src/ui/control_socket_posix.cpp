#include "ui/control_socket_posix.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/clock.h"

namespace vr {
namespace {

// File names stay well below NAME_MAX and leave room in sun_path.
constexpr std::size_t kMaxStemChars = 64;

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string ErrnoText(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

bool FillAddress(const std::string& path, sockaddr_un& address, std::string* error) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    if (error) *error = path + ": path too long for a socket";
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// "-" and eight hexadecimal digits of FNV-1a over text.
std::string HashMark(std::string_view text) {
  std::uint32_t hash = 2166136261u;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char mark[16];
  std::snprintf(mark, sizeof mark, "-%08x", static_cast<unsigned>(hash));
  return mark;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

bool FindRuntimeDirectory(bool create, std::string& dir, std::string& error) {
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg && IsDirectory(xdg)) {
    dir = xdg;
    return true;
  }
  const uid_t uid = ::getuid();
  const std::string runUser = "/run/user/" + std::to_string(uid);
  if (IsDirectory(runUser)) {
    dir = runUser;
    return true;
  }
  dir = "/tmp/vesprec-" + std::to_string(uid);
  if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = ErrnoText(dir.c_str(), errno);
    return false;
  }
  // /tmp is shared: the directory must be a real one of ours that nobody
  // else can enter, or another user could stand in for the instance.
  struct stat info {};
  if (::lstat(dir.c_str(), &info) != 0) {
    error = ErrnoText(dir.c_str(), errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != uid || (info.st_mode & 077) != 0) {
    error = dir + ": not a directory of this user with mode 0700";
    return false;
  }
  return true;
}

std::string PortFileStem(std::string_view com) {
  std::string name;
  for (const char c : com) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    if (!plain && name.empty()) continue;
    name += plain ? c : '_';
  }
  if (name.empty()) name = "port";
  if (name.size() > kMaxStemChars) {
    // A hash of the whole value, so two long names that share their
    // beginning still get different files.
    name.resize(kMaxStemChars - 9);
    name += HashMark(com);
  }
  return "vesprec-" + name;
}

std::string FolderLinkPath(std::string_view runtimeDir, std::string_view programDir) {
  // Always marked with the hash: "/a/b" and "/a_b" read alike once made plain.
  std::string stem = PortFileStem(programDir).substr(std::string_view("vesprec-").size());
  stem.resize(std::min<std::size_t>(stem.size(), kMaxStemChars - 9));
  return std::string(runtimeDir) + "/vesprec-dir-" + stem + HashMark(programDir) + ".sock";
}

bool LinkFolderToSocket(const std::string& linkPath, const std::string& socketPath,
                        std::string& error) {
  const std::string staging = linkPath + ".new";
  ::unlink(staging.c_str());
  if (::symlink(socketPath.c_str(), staging.c_str()) != 0 ||
      ::rename(staging.c_str(), linkPath.c_str()) != 0) {
    error = ErrnoText(linkPath.c_str(), errno);
    ::unlink(staging.c_str());
    return false;
  }
  return true;
}

void UnlinkFolderFromSocket(const std::string& linkPath, const std::string& socketPath) {
  char target[4096];
  const ssize_t length = ::readlink(linkPath.c_str(), target, sizeof target - 1);
  if (length > 0 && std::string_view(target, static_cast<std::size_t>(length)) == socketPath)
    ::unlink(linkPath.c_str());
}

std::string ControlSocketPath(std::string_view runtimeDir, std::string_view com) {
  return std::string(runtimeDir) + "/" + PortFileStem(com) + ".sock";
}

std::string InstanceLockPath(std::string_view runtimeDir, std::string_view com) {
  return std::string(runtimeDir) + "/" + PortFileStem(com) + ".lock";
}

// ---------------------------------------------------------------------------
// Server

namespace {
const SystemClock kSystemClock;
}  // namespace

ControlServer::ControlServer() : clock_(kSystemClock) {}
ControlServer::ControlServer(const Clock& clock) : clock_(clock) {}

ControlServer::~ControlServer() {
  for (Connection& connection : connections_) CloseFd(connection.fd);
  if (listenFd_ >= 0) {
    CloseFd(listenFd_);
    ::unlink(path_.c_str());
  }
}

bool ControlServer::Listen(const std::string& path, std::string& error,
                           const std::function<void()>& beforeNamed) {
  // Made under a second name and renamed into place once it listens, so a
  // client that finds the name never finds it refusing.
  const std::string staging = path + ".new";
  sockaddr_un address;
  if (!FillAddress(path, address, &error) || !FillAddress(staging, address, &error)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = ErrnoText("socket", errno);
    return false;
  }
  ::unlink(staging.c_str());
  const auto fail = [&] {
    error = ErrnoText(path.c_str(), errno);
    ::close(fd);
    ::unlink(staging.c_str());
    return false;
  };
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(staging.c_str(), 0600) != 0 || ::listen(fd, 8) != 0)
    return fail();
  if (beforeNamed) beforeNamed();
  if (::rename(staging.c_str(), path.c_str()) != 0) return fail();
  listenFd_ = fd;
  path_ = path;
  return true;
}

void ControlServer::AppendPollSet(std::vector<pollfd>& fds) const {
  if (listenFd_ < 0) return;
  fds.push_back({listenFd_, POLLIN, 0});
  for (const Connection& connection : connections_)
    fds.push_back({connection.fd, static_cast<short>(connection.answered ? POLLOUT : POLLIN), 0});
}

void ControlServer::HandleEvents(std::span<const pollfd> fds, const Answer& answer) {
  if (listenFd_ < 0 || fds.empty()) return;
  // The connections are matched to fds by position, as AppendPollSet laid
  // them out; a connection accepted now is served at the next turn.
  const std::uint64_t nowMs = clock_.TickMs();
  std::vector<Connection> kept;
  for (std::size_t i = 0; i < connections_.size(); ++i) {
    Connection& connection = connections_[i];
    const short revents = i + 1 < fds.size() ? fds[i + 1].revents : short{0};
    // A client that neither asks nor reads in its time must not keep a place
    // that `ctl stop` or `ctl quit` may need.
    if (nowMs >= connection.deadlineMs) {
      CloseFd(connection.fd);
    } else if (revents == 0 || Serve(connection, answer)) {
      kept.push_back(std::move(connection));
    } else {
      CloseFd(connection.fd);
    }
  }
  connections_.swap(kept);
  if (fds[0].revents & POLLIN) Accept();
}

int ControlServer::MsUntilNextDeadline() const {
  if (connections_.empty()) return -1;
  const std::uint64_t nowMs = clock_.TickMs();
  std::uint64_t soonestMs = connections_.front().deadlineMs;
  for (const Connection& connection : connections_)
    soonestMs = std::min(soonestMs, connection.deadlineMs);
  if (soonestMs <= nowMs) return 0;
  return static_cast<int>(
      std::min<std::uint64_t>(soonestMs - nowMs, std::numeric_limits<int>::max()));
}

void ControlServer::Accept() {
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN: no more waiting; anything else: try at the next turn
    if (connections_.size() >= kMaxControlClients) {
      // The newcomer is served, the one that waited longest is dropped: a
      // table full of silent clients never turns a real request away.
      CloseFd(connections_.front().fd);
      connections_.erase(connections_.begin());
    }
    connections_.push_back({fd, clock_.TickMs() + kControlDeadlineMs, {}, {}, false});
  }
}

bool ControlServer::Serve(Connection& connection, const Answer& answer) {
  if (!connection.answered) {
    char buffer[512];
    bool ended = false;
    for (;;) {
      const ssize_t got = ::recv(connection.fd, buffer, sizeof buffer, 0);
      if (got > 0) {
        connection.request.append(buffer, static_cast<std::size_t>(got));
        if (connection.request.find('\n') != std::string::npos ||
            connection.request.size() > kMaxControlRequestBytes)
          break;
        continue;
      }
      if (got == 0) {
        ended = true;
        break;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    std::size_t end = connection.request.find('\n');
    if (end == std::string::npos) {
      if (connection.request.size() > kMaxControlRequestBytes) {
        end = connection.request.size();
      } else if (!ended) {
        return true;  // the rest of the line is still on its way
      } else if (connection.request.empty()) {
        return false;  // closed without asking anything
      } else {
        end = connection.request.size();  // closed its side after a line without newline
      }
    }
    if (end > kMaxControlRequestBytes) {
      connection.reply = "error request too long\n";
    } else {
      std::string_view request(connection.request);
      request = request.substr(0, end);
      if (!request.empty() && request.back() == '\r') request.remove_suffix(1);
      connection.reply = answer(request);
    }
    connection.answered = true;
  }
  while (!connection.reply.empty()) {
    const ssize_t sent =
        ::send(connection.fd, connection.reply.data(), connection.reply.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      connection.reply.erase(0, static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
  return false;  // all sent: closing the connection ends the answer
}

// ---------------------------------------------------------------------------
// Client

AskResult AskInstance(const std::string& socketPath, std::string_view request, std::string& reply,
                      int answerTimeoutMs) {
  reply.clear();
  sockaddr_un address;
  if (!FillAddress(socketPath, address, nullptr)) return AskResult::kNoInstance;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return AskResult::kNoAnswer;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    // No file, or a file that no process listens on (a stale socket).
    return error == ENOENT || error == ECONNREFUSED ? AskResult::kNoInstance : AskResult::kNoAnswer;
  }
  std::string line(request);
  line += '\n';
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t sent = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      ::close(fd);
      return AskResult::kNoAnswer;
    }
    done += static_cast<std::size_t>(sent);
  }
  ::shutdown(fd, SHUT_WR);
  for (;;) {
    pollfd watched{fd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, answerTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[512];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ::close(fd);
      // The server closes after the whole answer; nothing at all means it
      // dropped the connection (too busy, or stopping).
      return got == 0 && !reply.empty() ? AskResult::kAnswered : AskResult::kNoAnswer;
    }
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return AskResult::kNoAnswer;
}

}  // namespace vr
