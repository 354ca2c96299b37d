#include <limits.h>
#include <unistd.h>

#include "base/path.h"

namespace vr {

const char kPathSeparator = '/';

std::string ExecutableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return ".";
  std::string path(buffer, static_cast<std::size_t>(length));
  const auto cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  path.resize(cut == 0 ? 1 : cut);
  return path;
}

// The system takes a name's bytes as they are.
std::filesystem::path FileSystemPath(std::string_view utf8) {
  return std::filesystem::path(std::string(utf8));
}

}  // namespace vr
