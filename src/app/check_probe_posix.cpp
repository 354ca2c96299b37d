#include "app/check_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vr {
namespace {

ProbeResult Problem(std::string detail) {
  return {ProbeResult::Verdict::kProblem, std::move(detail)};
}
ProbeResult Warning(std::string detail) {
  return {ProbeResult::Verdict::kWarning, std::move(detail)};
}

bool IsNullDevice(const struct stat& info) {
  struct stat null {};
  return ::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) && info.st_rdev == null.st_rdev;
}

// The folder a path's file lies in: "." for a bare name.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

ProbeResult ProbePort(const std::string& com) {
  if (com.empty()) return Problem("names no port");
  struct stat info {};
  if (::stat(com.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return Warning(com + " does not exist (yet): the sites cannot connect until it does");
    return Warning(com + ": " + std::strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) return Problem(com + " is a folder, not a serial port");
  if (S_ISREG(info.st_mode)) return Problem(com + " is a regular file, not a serial port");
  if (IsNullDevice(info)) return Problem(com + " is the null device, not a serial port");
  if (!S_ISCHR(info.st_mode)) return Problem(com + " is not a serial port");
  const int fd = ::open(com.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    std::string detail = com + " cannot be opened: " + std::strerror(error);
    if (error == EACCES) detail += " (the recorder's user needs the dialout group)";
    if (error == EBUSY) detail += " (another program holds it)";
    return Warning(std::move(detail));
  }
  const bool terminal = ::isatty(fd) == 1;
  ::close(fd);
  if (!terminal) return Problem(com + " is not a serial port (not a terminal device)");
  return {};
}

ProbeResult ProbeAppendableFile(const std::string& path) {
  if (path.empty()) return Problem("names no file");
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return Problem(path + " is a folder");
    if (::access(path.c_str(), W_OK) != 0)
      return Problem(path + " cannot be written: " + std::strerror(errno));
    return {};
  }
  if (errno != ENOENT && errno != ENOTDIR) return Problem(path + ": " + std::strerror(errno));
  const std::string folder = FolderOf(path);
  if (::stat(folder.c_str(), &info) != 0)
    return Problem("the folder " + folder + " does not exist");
  if (!S_ISDIR(info.st_mode)) return Problem(folder + " is not a folder");
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    return Problem("no file can be made in " + folder + ": " + std::strerror(errno));
  return {};
}

}  // namespace vr
