#include "base/path.h"

namespace vr {

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += kPathSeparator;
  path += name;
  return path;
}

std::string_view FileNamePart(std::string_view path) {
  const auto cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

}  // namespace vr
