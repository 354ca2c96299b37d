#pragma once
// Paths of the program's own files. The separator is the platform's ("\" on
// Windows, "/" on POSIX); file names taken from the configuration may use
// either. Inside the program a path is UTF-8 text on both systems; only the
// platform files turn it into what the system takes (UTF-16 on Windows).

#include <filesystem>
#include <string>
#include <string_view>

namespace vr {

extern const char kPathSeparator;

// dir + separator + name.
std::string JoinPath(std::string_view dir, std::string_view name);

// The part after the last "/" or "\", or the whole text when it has none.
std::string_view FileNamePart(std::string_view path);

// The directory of the running executable, without a trailing separator,
// in UTF-8 whatever characters its name holds.
std::string ExecutableDirectory();

// A UTF-8 path as the standard library's file functions take it. On Windows
// the narrow form would go through the ANSI code page and miss any folder
// whose name the code page cannot spell.
std::filesystem::path FileSystemPath(std::string_view utf8);

}  // namespace vr
