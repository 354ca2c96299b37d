#include <windows.h>

#include "base/path.h"
#include "base/wide_text_win32.h"

namespace vr {

const char kPathSeparator = '\\';

std::string ExecutableDirectory() {
  // The wide call: the ANSI one cannot name a folder outside its code page,
  // and MAX_PATH is no limit for it.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return ".";
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    if (buffer.size() >= 32768) return ".";  // longer than any Windows path
    buffer.resize(buffer.size() * 2);
  }
  const auto cut = buffer.find_last_of(L'\\');
  if (cut == std::wstring::npos) return ".";
  buffer.resize(cut);
  return Utf8FromWide(buffer);
}

std::filesystem::path FileSystemPath(std::string_view utf8) {
  return std::filesystem::path(WideFromUtf8(utf8));
}

}  // namespace vr
