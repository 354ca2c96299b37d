#pragma once
// Windows tests: a fresh temporary folder whose name the ANSI code page
// spells otherwise than UTF-8 ("Contabilità"), made and read only through
// the wide calls, so that what a test finds there does not depend on the
// code under test's conversions. Removed afterwards.

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "base/wide_text_win32.h"

namespace vr::test {

class NonAsciiDir {
 public:
  NonAsciiDir() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    std::random_device seed;
    for (;;) {
      wide_ = std::wstring(temp, length) + L"vesper-test-" + std::to_wstring(seed()) +
              L"\\Contabilit\u00E0";
      std::error_code ec;
      if (std::filesystem::create_directories(wide_, ec)) break;
    }
    top_ = std::filesystem::path(wide_).parent_path();
  }
  ~NonAsciiDir() {
    std::error_code ec;
    std::filesystem::remove_all(top_, ec);
  }
  NonAsciiDir(const NonAsciiDir&) = delete;
  NonAsciiDir& operator=(const NonAsciiDir&) = delete;

  // The folder's path as the program keeps paths: UTF-8.
  std::string Utf8() const { return Utf8FromWide(wide_); }
  std::string Utf8File(const std::string& name) const { return Utf8() + "\\" + name; }

  const std::wstring& Wide() const { return wide_; }
  std::wstring WideFile(const std::string& name) const { return wide_ + L"\\" + WideFromUtf8(name); }

  bool Exists(const std::string& name) const {
    return GetFileAttributesW(WideFile(name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(std::filesystem::path(WideFile(name)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(std::filesystem::path(WideFile(name)), std::ios::binary) << bytes;
  }

 private:
  std::wstring wide_;
  std::filesystem::path top_;
};

}  // namespace vr::test
