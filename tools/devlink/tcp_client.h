#pragma once
// The stand-in library's one TCP connection, behind a small interface with
// a POSIX and a Winsock half.

#include <cstddef>
#include <string>
#include <string_view>

namespace vr::devlink {

class TcpClient {
 public:
  TcpClient();
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Connects to host:port (a name or an address); false when it cannot.
  bool Connect(const std::string& host, const std::string& port);
  bool SendAll(std::string_view bytes);
  // Waits at most timeoutMs for bytes: their count, 0 when none came in
  // time, -1 when the connection is closed or failed.
  long Receive(char* buffer, std::size_t size, int timeoutMs);
  void Close();

 private:
  long long socket_ = -1;
};

}  // namespace vr::devlink
