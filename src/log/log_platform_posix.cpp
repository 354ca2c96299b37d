#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/error_log.h"

namespace vr {

std::string SystemErrorDescription(std::uint32_t code) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static string instead of filling buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

std::string ToLogCharset(std::string_view utf8) { return std::string(utf8); }

bool AppendLogBytes(const std::string& path, std::string_view bytes, std::uint32_t* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = static_cast<std::uint32_t>(errno);
    return false;
  }
  ssize_t written;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  // A short write is a full disk.
  const int cause = written < 0 ? errno : ENOSPC;
  ::close(fd);
  if (written == static_cast<ssize_t>(bytes.size())) return true;
  if (error) *error = static_cast<std::uint32_t>(cause);
  return false;
}

}  // namespace vr
