#include <windows.h>

#include "base/wide_text_win32.h"
#include "log/error_log.h"

namespace vr {

std::string SystemErrorDescription(std::uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text),
      0, nullptr);
  if (length == 0 || text == nullptr) return {};
  std::string description = Utf8FromWide(std::wstring_view(text, length));
  LocalFree(text);
  // The system's text ends with CR LF.
  while (!description.empty() && (description.back() == '\n' || description.back() == '\r'))
    description.pop_back();
  return description;
}

std::string ToLogCharset(std::string_view utf8) {
  return BytesFromWide(1252, WideFromUtf8(utf8));
}

bool AppendLogBytes(const std::string& path, std::string_view bytes, std::uint32_t* error) {
  HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (error) *error = GetLastError();
    return false;
  }
  DWORD written = 0;
  BOOL ok = SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  const DWORD cause = ok ? ERROR_DISK_FULL : GetLastError();
  CloseHandle(file);
  if (ok && written == bytes.size()) return true;
  if (error) *error = cause;
  return false;
}

}  // namespace vr
