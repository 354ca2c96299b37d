#pragma once
// The POSIX program's "main window": the console front end. The site worker
// posts and sends its reports here from its own thread; the main thread's
// loop drains them. Received text goes to standard output, the title (site
// and line count) to the terminal title when there is a terminal and to
// `status`, reports to the error log, warnings once to standard error.
//
// Standard output may stop taking text (a paused terminal, a pipe nobody
// reads); storage must not stop with it. So received text is written by a
// thread of its own, from a queue of bounded size: beyond the bound new text
// is dropped and counted, while reports, warnings and Send go on being
// handled by the main loop.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/flags.h"
#include "base/notifier.h"
#include "base/wake_signal.h"
#include "log/error_log.h"
#include "ui/front_end_text.h"

namespace vr {

// A warning shown stays pending this long unless acknowledged first, so a
// lasting failure is shown again at most this often.
inline constexpr std::uint64_t kWarningRepeatMs = 5 * 60 * 1000;

// How long Close lets a slow standard output take the text still waiting.
inline constexpr std::chrono::milliseconds kDisplayCloseGrace{2000};

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
  // The descriptor behind out, which then is written with write(2) instead;
  // -1: out itself, except that std::cout means standard output (see
  // console_posix.cpp for why).
  int outDescriptor = -1;
  std::chrono::milliseconds closeGrace = kDisplayCloseGrace;
  // Hears whether each log line could be written (none: nobody is told).
  LogWatch* logWatch = nullptr;
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
  // A box without owner window (the call-log library's loading problems):
  // standard error and the error log, from the main loop, and kept for
  // `status`. Any thread; returns at once.
  void ShowOwnerlessBox(std::string text);
  // The text of the last such box; empty when none was shown.
  std::string LastBox() const;

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
  // From now on nothing waits for the main loop: Send returns at once. Lets
  // the display writer finish within closeGrace and logs the bytes dropped
  // since text was last accepted.
  void Close();

  std::string Title() const;

  // Any thread. Waits at most timeout until all the text Drain has handed to
  // the display writer is written; true when it is.
  bool FlushDisplay(std::chrono::milliseconds timeout) const;
  // Any thread. Accepted text not written yet, in the queue or with the writer.
  std::size_t PendingDisplayBytes() const;

 private:
  struct Item {
    Message message;
    std::uint32_t value;
    std::string text;
    std::uint64_t sequence;        // Send waits until this one is handled
    std::size_t droppedBytes = 0;  // kDisplay over the bound: its text is gone
    bool box = false;              // an ownerless box, not a message
  };
  // Shared with the writer thread, which may outlive the front end when
  // standard output never takes its text.
  struct DisplayQueue;

  // Cuts display text to what is shown and keeps it only within the bound.
  std::uint64_t Accept(Message message, std::uint32_t value, std::string text);
  std::uint64_t Enqueue(Message message, std::uint32_t value, std::string text,
                        std::size_t droppedBytes = 0);
  void Handle(Item& item);
  void Display(Item& item);
  void EndDropEpisode();
  void StopDisplayWriter();
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
  std::string lastBox_;

  std::atomic<TrayIcon> icon_{TrayIcon::kIdle};
  std::atomic<bool> startEnabled_{true};  // "&Avvia": no site is being served

  // Tick at which each warning was shown; none while it is not on "screen".
  std::array<std::optional<std::uint64_t>, kLastWarningId - kFirstWarningId + 1> shownAtMs_;

  std::shared_ptr<DisplayQueue> display_;
  std::thread displayThread_;
  std::uint64_t droppedBytes_ = 0;  // main thread: dropped since text was last accepted
};

}  // namespace vr
