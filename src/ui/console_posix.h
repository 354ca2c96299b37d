#pragma once
// The POSIX program's "main window": the console front end. The site worker
// posts and sends its reports here from its own thread; the main thread's
// loop drains them. Received text goes to standard output, the title (site
// and line count) to the terminal title when there is a terminal and to
// `status`, reports to the error log, warnings once to standard error.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "base/clock.h"
#include "base/flags.h"
#include "base/notifier.h"
#include "base/wake_signal.h"

namespace vr {

// A warning shown stays pending this long unless acknowledged first, so a
// lasting failure is shown again at most this often.
inline constexpr std::uint64_t kWarningRepeatMs = 5 * 60 * 1000;

// What the front end reads from the rest of the program when a message needs it.
struct ConsoleSources {
  std::function<std::string()> currentSite;         // empty between sites
  std::function<std::uint64_t()> lineCount;         // line ends seen since the start
  std::function<std::uint32_t()> spaceThresholdMb;  // SpazioTimeout of the current site
  std::function<void()> quit;                       // the orderly stop of the whole program
};

struct ConsoleStreams {
  std::ostream& out;             // received text (and the terminal title)
  std::ostream& err;             // warnings
  bool titleToTerminal = false;  // out is a terminal: the title goes there too
};

class ConsoleFrontEnd final : public Notifier, public IconDisplay {
 public:
  // windowTitle: "Vesper Recorder " and the port; logPath: the error log.
  ConsoleFrontEnd(std::string windowTitle, std::string logPath, ConsoleStreams streams,
                  ProcessFlags& flags, const Clock& clock, ConsoleSources sources);
  ~ConsoleFrontEnd() override;
  ConsoleFrontEnd(const ConsoleFrontEnd&) = delete;
  ConsoleFrontEnd& operator=(const ConsoleFrontEnd&) = delete;

  // Notifier, any thread. The text is moved into the queue.
  void Post(Message message, std::uint32_t value, std::string text) override;
  // Returns once Drain has handled the message, or at once after Close.
  void Send(Message message, std::uint32_t value, std::string text) override;

  // IconDisplay, any thread: kept for `status`.
  void ShowIcon(TrayIcon icon) override;
  void EnableMenuItems(bool start, bool stop) override;
  TrayIcon Icon() const { return icon_; }
  bool StartEnabled() const { return startEnabled_; }

  // The error log may move when the configuration is read again; any thread.
  void SetLogPath(std::string path);

  // Main thread from here on.

  // Readable while messages wait (for poll()).
  int WakeDescriptor() const;
  // Handles every waiting message in order, then lets warnings that have
  // been shown for kWarningRepeatMs go.
  void Drain();
  void ExpireWarnings();
  // Milliseconds until the next shown warning expires; -1 when none is shown.
  int MsUntilNextExpiry() const;
  // `ctl ack`: every warning counts as closed by the user.
  void AcknowledgeWarnings();
  // From now on nothing waits for the main loop: Send returns at once.
  void Close();

  std::string Title() const;

 private:
  struct Item {
    Message message;
    std::uint32_t value;
    std::string text;
    std::uint64_t sequence;  // Send waits until this one is handled
  };

  std::uint64_t Enqueue(Message message, std::uint32_t value, std::string text);
  void Handle(const Item& item);
  void Display(std::uint32_t count, const std::string& text);
  void ShowWarning(int id);
  std::string LogPath() const;

  const std::string windowTitle_;
  ConsoleStreams streams_;
  ProcessFlags& flags_;
  const Clock& clock_;
  ConsoleSources sources_;
  SystemWakeSignal wake_;

  mutable std::mutex mutex_;  // the queue, the sequence numbers, the log path, the title
  std::condition_variable handled_;
  std::deque<Item> queue_;
  std::uint64_t nextSequence_ = 1;
  std::uint64_t handledThrough_ = 0;
  bool closed_ = false;
  std::string logPath_;
  std::string title_;

  std::atomic<TrayIcon> icon_{TrayIcon::kIdle};
  std::atomic<bool> startEnabled_{true};  // "&Avvia": no site is being served

  // Tick at which each warning was shown; none while it is not on "screen".
  std::array<std::optional<std::uint64_t>, kLastWarningId - kFirstWarningId + 1> shownAtMs_;
};

}  // namespace vr
