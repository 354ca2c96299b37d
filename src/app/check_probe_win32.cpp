#include "app/check_probe.h"

#include <windows.h>

#include "base/wide_text_win32.h"
#include "log/error_log.h"

namespace vr {
namespace {

ProbeResult Problem(std::string detail) {
  return {ProbeResult::Verdict::kProblem, std::move(detail)};
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

}  // namespace

ProbeResult ProbePort(const std::string& com) {
  if (com.empty()) return Problem("names no port");
  // Exclusive, as the recorder opens it: a port in use says so.
  const HANDLE port = ::CreateFileW(WideFromUtf8("\\\\.\\" + com).c_str(),
                                    GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return {ProbeResult::Verdict::kWarning,
            com + " cannot be opened: " + SystemErrorText(static_cast<std::uint32_t>(error))};
  }
  const DWORD type = ::GetFileType(port);
  ::CloseHandle(port);
  if (type != FILE_TYPE_CHAR) return Problem(com + " is not a serial port");
  return {};
}

ProbeResult ProbeAppendableFile(const std::string& path) {
  if (path.empty()) return Problem("names no file");
  const DWORD attributes = ::GetFileAttributesW(WideFromUtf8(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Problem(path + " is a folder");
    if (attributes & FILE_ATTRIBUTE_READONLY) return Problem(path + " is read-only");
    return {};
  }
  const std::string folder = FolderOf(path);
  const DWORD folderAttributes = ::GetFileAttributesW(WideFromUtf8(folder).c_str());
  if (folderAttributes == INVALID_FILE_ATTRIBUTES)
    return Problem("the folder " + folder + " does not exist");
  if (!(folderAttributes & FILE_ATTRIBUTE_DIRECTORY)) return Problem(folder + " is not a folder");
  return {};
}

}  // namespace vr
