#pragma once
// What the site worker (and the configuration reload on the worker thread)
// tells the main window. On Windows these become window messages to the main
// window; on POSIX a queue that the console front end drains.

#include <cstdint>
#include <string>

namespace vr {

// Worker -> main window. The numbers are the window messages of the Windows
// program (WM_USER + n), kept so both programs speak the same protocol.
enum class Message : std::uint32_t {
  kDisplay = 0x400 + 2,      // value: bytes written into the display pipe
  kSystemError = 0x400 + 3,  // value: system error code; text: site code or empty
  kError = 0x400 + 4,        // value: string id; text: site code or empty
  kDebug = 0x400 + 5,        // text: debug text
  kWarning = 0x400 + 6,      // value: warning id 7001..7011
  kQuit = 0x400 + 200,       // orderly stop of the whole program
};

class Notifier {
 public:
  virtual ~Notifier() = default;
  // Queues the message and returns at once.
  virtual void Post(Message message, std::uint32_t value, std::string text) = 0;
  // Returns once the main window has handled the message.
  virtual void Send(Message message, std::uint32_t value, std::string text) = 0;
};

// The tray icon's states, by their icon resource ids. The worker changes
// the icon directly (Windows: the tray entry; POSIX: the state shown by
// `status`).
enum class TrayIcon : std::uint32_t {
  kReceiving = 8,  // data flowing: exchange released, a download running
  kHeld = 9,       // exchange held by flow control, a bad block being dropped
  kLineError = 10, // the site's line could not be set up
  kIdle = 11,      // between sites
};

class IconDisplay {
 public:
  virtual ~IconDisplay() = default;
  virtual void ShowIcon(TrayIcon icon) = 0;
  // The tray menu's "&Avvia" (start a site) and "&Interrompi" (stop) items.
  virtual void EnableMenuItems(bool /*start*/, bool /*stop*/) {}
};

}  // namespace vr
