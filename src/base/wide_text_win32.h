#pragma once
// Windows only: the program's texts are UTF-8; the W functions of the API
// take UTF-16, and some texts go out in a code page (the log, the display).

#include <string>
#include <string_view>

namespace vr {

// Bytes in a code page (CP_UTF8, 1252, ...) to UTF-16 and back.
std::wstring WideFromBytes(unsigned codePage, std::string_view bytes);
std::string BytesFromWide(unsigned codePage, std::wstring_view wide);

inline constexpr unsigned kUtf8CodePage = 65001;  // CP_UTF8

inline std::wstring WideFromUtf8(std::string_view utf8) {
  return WideFromBytes(kUtf8CodePage, utf8);
}
inline std::string Utf8FromWide(std::wstring_view wide) {
  return BytesFromWide(kUtf8CodePage, wide);
}

}  // namespace vr
