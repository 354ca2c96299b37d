#pragma once
// Paths of the program's own files. The separator is the platform's ("\" on
// Windows, "/" on POSIX); file names taken from the configuration may use
// either.

#include <string>
#include <string_view>

namespace vr {

extern const char kPathSeparator;

// dir + separator + name.
std::string JoinPath(std::string_view dir, std::string_view name);

// The part after the last "/" or "\", or the whole text when it has none.
std::string_view FileNamePart(std::string_view path);

// The directory of the running executable, without a trailing separator.
std::string ExecutableDirectory();

}  // namespace vr
