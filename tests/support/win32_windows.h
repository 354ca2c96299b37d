#pragma once
// For Windows tests that look at real windows: a window's text as another
// program reads it (WM_GETTEXT), and a bounded wait for what another thread
// does.

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace vr::test {

inline constexpr std::chrono::seconds kWindowPatience{10};

inline std::wstring TextOf(HWND window) {
  const auto length = static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const auto copied = static_cast<std::size_t>(
      SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
  text.resize(copied);
  return text;
}

// Waits on a thread other than the window's for something the window's
// thread does; false when it did not happen within kWindowPatience.
inline bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWindowPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace vr::test
