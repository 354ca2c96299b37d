#include "base/wide_text_win32.h"

#include <windows.h>

namespace vr {

std::wstring WideFromBytes(unsigned codePage, std::string_view bytes) {
  if (bytes.empty()) return {};
  const int size = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), size, out.data(), n);
  return out;
}

std::string BytesFromWide(unsigned codePage, std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(codePage, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace vr
