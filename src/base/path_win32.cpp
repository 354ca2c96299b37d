#include <windows.h>

#include "base/path.h"

namespace vr {

const char kPathSeparator = '\\';

std::string ExecutableDirectory() {
  char buffer[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return ".";
  std::string path(buffer, length);
  const auto cut = path.find_last_of('\\');
  if (cut == std::string::npos) return ".";
  path.resize(cut);
  return path;
}

}  // namespace vr
