#include "devlink/tcp_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace vr::devlink {
namespace {

bool StartWinsock() {
  // Once per process; never cleaned up, the library is never unloaded.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET Handle(long long socket) { return static_cast<SOCKET>(socket); }

}  // namespace

TcpClient::TcpClient() = default;
TcpClient::~TcpClient() { Close(); }

bool TcpClient::Connect(const std::string& host, const std::string& port) {
  Close();
  if (!StartWinsock()) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
      socket_ = static_cast<long long>(s);
      break;
    }
    ::closesocket(s);
  }
  freeaddrinfo(found);
  return socket_ >= 0;
}

bool TcpClient::SendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const int n = ::send(Handle(socket_), bytes.data(), static_cast<int>(bytes.size()), 0);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

long TcpClient::Receive(char* buffer, std::size_t size, int timeoutMs) {
  if (socket_ < 0) return -1;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Handle(socket_), &readable);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
  if (ready == 0) return 0;
  if (ready < 0) return -1;
  const int n = ::recv(Handle(socket_), buffer, static_cast<int>(size), 0);
  return n > 0 ? n : -1;
}

void TcpClient::Close() {
  if (socket_ >= 0) ::closesocket(Handle(socket_));
  socket_ = -1;
}

}  // namespace vr::devlink
