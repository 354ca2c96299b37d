#include "devlink/tcp_client.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vr::devlink {

TcpClient::TcpClient() = default;
TcpClient::~TcpClient() { Close(); }

bool TcpClient::Connect(const std::string& host, const std::string& port) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      socket_ = fd;
      break;
    }
    ::close(fd);
  }
  freeaddrinfo(found);
  return socket_ >= 0;
}

bool TcpClient::SendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(static_cast<int>(socket_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

long TcpClient::Receive(char* buffer, std::size_t size, int timeoutMs) {
  if (socket_ < 0) return -1;
  pollfd p{static_cast<int>(socket_), POLLIN, 0};
  const int ready = ::poll(&p, 1, timeoutMs);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return 0;
  if (ready < 0) return -1;
  const ssize_t n = ::recv(static_cast<int>(socket_), buffer, size, 0);
  if (n < 0 && errno == EINTR) return 0;
  return n > 0 ? static_cast<long>(n) : -1;
}

void TcpClient::Close() {
  if (socket_ >= 0) ::close(static_cast<int>(socket_));
  socket_ = -1;
}

}  // namespace vr::devlink
