#include <windows.h>

#include <algorithm>

#include "base/wide_text_win32.h"
#include "storage/file_system.h"

namespace vr {
namespace {

// The one place where GetLastError() becomes a FileStatus.
FileStatus SortWin32Error(DWORD error) {
  switch (error) {
    case ERROR_SHARING_VIOLATION:  // the importer holds the file
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
      return FileStatus::kBusy;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileStatus::kNoSpace;
    default:
      return FileStatus::kIoError;
  }
}

FileStatus LastError() { return SortWin32Error(GetLastError()); }

// ReadFile and WriteFile take at most a DWORD per call.
DWORD ClampToDword(std::size_t bytes) {
  return static_cast<DWORD>(std::min<std::size_t>(bytes, 0x7FFFFFFF));
}

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  FileStatus Size(std::uint64_t& sizeBytes) override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle_, &size)) return LastError();
    sizeBytes = static_cast<std::uint64_t>(size.QuadPart);
    return FileStatus::kOk;
  }

  FileStatus Seek(std::uint64_t offsetBytes) override {
    LARGE_INTEGER offset{};
    offset.QuadPart = static_cast<LONGLONG>(offsetBytes);
    if (!SetFilePointerEx(handle_, offset, nullptr, FILE_BEGIN)) return LastError();
    return FileStatus::kOk;
  }

  FileStatus Read(std::span<std::uint8_t> buffer, std::size_t& readBytes) override {
    readBytes = 0;
    DWORD got = 0;
    if (!ReadFile(handle_, buffer.data(), ClampToDword(buffer.size()), &got, nullptr))
      return LastError();
    readBytes = got;
    return FileStatus::kOk;
  }

  FileStatus Write(std::span<const std::uint8_t> bytes, std::size_t& writtenBytes) override {
    writtenBytes = 0;
    while (writtenBytes < bytes.size()) {
      DWORD put = 0;
      if (!WriteFile(handle_, bytes.data() + writtenBytes,
                     ClampToDword(bytes.size() - writtenBytes), &put, nullptr))
        return LastError();
      if (put == 0) return FileStatus::kNoSpace;
      writtenBytes += put;
    }
    return FileStatus::kOk;
  }

  FileStatus Truncate(std::uint64_t lengthBytes) override {
    // SetEndOfFile cuts at the pointer; put the pointer back afterwards.
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(handle_, zero, &position, FILE_CURRENT)) return LastError();
    LARGE_INTEGER length{};
    length.QuadPart = static_cast<LONGLONG>(lengthBytes);
    if (!SetFilePointerEx(handle_, length, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_)) {
      const FileStatus status = LastError();
      SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN);
      return status;
    }
    if (!SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN)) return LastError();
    return FileStatus::kOk;
  }

  FileStatus Sync() override {
    if (!FlushFileBuffers(handle_)) return LastError();
    return FileStatus::kOk;
  }

 private:
  HANDLE handle_;
};

using GetDiskFreeSpaceExWFunction = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                                  PULARGE_INTEGER);

}  // namespace

PathStyle NativePathStyle() { return PathStyle::kWindows; }

// Paths are UTF-8 inside the program; every call here is the wide one, since
// the ANSI calls cannot name a file outside the ANSI code page.

FileStatus NativeFileSystem::Open(const std::string& path, OpenMode mode,
                                  std::unique_ptr<File>& file) {
  DWORD access = 0;
  DWORD share = FILE_SHARE_READ;
  switch (mode) {
    case OpenMode::kCreate:
      // Attribute access takes part in no sharing check, so this works while
      // the importer holds the file.
      access = FILE_READ_ATTRIBUTES;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
    case OpenMode::kWrite:
      access = GENERIC_WRITE;
      break;
    case OpenMode::kReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      break;
  }
  HANDLE handle = CreateFileW(WideFromUtf8(path).c_str(), access, share, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  file = std::make_unique<Win32File>(handle);
  return FileStatus::kOk;
}

bool NativeFileSystem::LookUp(const std::string& path, std::uint64_t& sizeBytes) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(WideFromUtf8(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  sizeBytes = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  return true;
}

FileStatus NativeFileSystem::Remove(const std::string& path) {
  if (DeleteFileW(WideFromUtf8(path).c_str())) return FileStatus::kOk;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FileStatus::kOk;
  return SortWin32Error(error);
}

FileStatus NativeFileSystem::FreeSpace(const std::string& root, std::uint64_t& freeBytes) {
  const std::wstring wideRoot = WideFromUtf8(root);
  // Looked up by name: the oldest systems have only GetDiskFreeSpace.
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC address = kernel != nullptr ? GetProcAddress(kernel, "GetDiskFreeSpaceExW") : nullptr;
  if (address != nullptr) {
    // Through void(*)(void), which GCC accepts as a cast to any function type.
    const auto getFreeEx =
        reinterpret_cast<GetDiskFreeSpaceExWFunction>(reinterpret_cast<void (*)(void)>(address));
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER totalFree{};
    if (!getFreeEx(wideRoot.c_str(), &available, &total, &totalFree)) return LastError();
    freeBytes = available.QuadPart;
    return FileStatus::kOk;
  }
  DWORD sectorsPerCluster = 0;
  DWORD bytesPerSector = 0;
  DWORD freeClusters = 0;
  DWORD clusters = 0;
  if (!GetDiskFreeSpaceW(wideRoot.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                         &clusters))
    return LastError();
  freeBytes = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector * freeClusters;
  return FileStatus::kOk;
}

}  // namespace vr
