#include "ui/console_posix.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <limits>
#include <utility>
#include <vector>

#include "log/error_log.h"
#include "log/strings.h"
#include "ui/front_end_text.h"

namespace vr {
namespace {

bool IsWarningId(std::uint32_t id) {
  return id >= static_cast<std::uint32_t>(kFirstWarningId) &&
         id <= static_cast<std::uint32_t>(kLastWarningId);
}

std::size_t WarningIndex(int id) { return static_cast<std::size_t>(id - kFirstWarningId); }

}  // namespace

// Close cannot join a writer stuck in a write that never ends: after the
// grace it marks the queue abandoned and detaches the thread, which keeps
// the queue alive through its own reference and writes nothing more once its
// write returns. The stream must outlive such a writer: std::cout does, and
// it is written with write(2) on its descriptor, not through stdio, because
// a thread stuck inside stdio holds the FILE's lock, and the flush of
// std::cout at exit would then wait for it for ever.
struct ConsoleFrontEnd::DisplayQueue {
  DisplayQueue(std::ostream& stream, int descriptor) : out(stream), fd(descriptor) {}

  std::ostream& out;
  const int fd;  // -1: write to out

  std::mutex mutex;
  std::condition_variable work;      // to the writer: text, a title or the stop
  std::condition_variable progress;  // from the writer: caught up, or ended
  std::deque<std::string> chunks;
  std::string title;             // the latest title escape, written after the text before it
  std::size_t pendingBytes = 0;  // accepted by Post, released once written
  bool writing = false;
  bool stop = false;       // write what is queued, then end
  bool abandoned = false;  // the front end is gone: write nothing more
  bool ended = false;

  bool CaughtUp() const { return ended || (!writing && chunks.empty() && title.empty()); }

  void Write(const std::string& text) {
    if (fd < 0) {
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      return;
    }
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      const ssize_t written = ::write(fd, data, left);
      if (written > 0) {
        data += written;
        left -= static_cast<std::size_t>(written);
      } else if (written < 0 && errno == EINTR) {
        continue;
      } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd ready{fd, POLLOUT, 0};  // someone made the descriptor non-blocking
        ::poll(&ready, 1, -1);
      } else {
        return;  // standard output is gone: the text has nowhere to go
      }
    }
  }

  void Flush() {
    if (fd < 0) out.flush();
  }

  void Run() {
    std::unique_lock lock(mutex);
    for (;;) {
      work.wait(lock, [&] { return stop || !chunks.empty() || !title.empty(); });
      if (abandoned || (chunks.empty() && title.empty())) break;
      std::deque<std::string> batch;
      batch.swap(chunks);
      std::string nextTitle;
      nextTitle.swap(title);
      writing = true;
      lock.unlock();
      bool gone = false;
      for (std::string& chunk : batch) {
        Write(chunk);
        const std::size_t size = chunk.size();
        std::string().swap(chunk);
        lock.lock();
        pendingBytes -= size;
        gone = abandoned;
        lock.unlock();
        if (gone) break;
      }
      if (!gone) {
        if (!nextTitle.empty()) Write(nextTitle);
        Flush();
      }
      lock.lock();
      writing = false;
      progress.notify_all();
      if (abandoned) break;
    }
    ended = true;
    progress.notify_all();
  }
};

ConsoleFrontEnd::ConsoleFrontEnd(std::string windowTitle, std::string logPath,
                                 ConsoleStreams streams, ProcessFlags& flags, const Clock& clock,
                                 ConsoleSources sources)
    : windowTitle_(std::move(windowTitle)),
      streams_(streams),
      flags_(flags),
      clock_(clock),
      sources_(std::move(sources)),
      logPath_(std::move(logPath)),
      title_(windowTitle_) {
  int fd = streams_.outDescriptor;
  if (fd < 0 && &streams_.out == &std::cout) fd = STDOUT_FILENO;
  display_ = std::make_shared<DisplayQueue>(streams_.out, fd);
  // The process's signals are handled on the main thread; a write of this
  // thread is not to be the one they interrupt.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &previous);
  displayThread_ = std::thread([queue = display_] { queue->Run(); });
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

ConsoleFrontEnd::~ConsoleFrontEnd() { Close(); }

std::uint64_t ConsoleFrontEnd::Enqueue(Message message, std::uint32_t value, std::string text,
                                       std::size_t droppedBytes) {
  std::uint64_t sequence;
  {
    std::lock_guard lock(mutex_);
    sequence = nextSequence_++;
    queue_.push_back({message, value, std::move(text), sequence, droppedBytes});
  }
  wake_.Signal();
  return sequence;
}

std::uint64_t ConsoleFrontEnd::Accept(Message message, std::uint32_t value, std::string text) {
  if (message != Message::kDisplay) return Enqueue(message, value, std::move(text));
  // Only what will be shown is kept and counted: the announced bytes up to a
  // first NUL, as the window's text box shows. No byte announced: no title
  // change either.
  if (std::min<std::size_t>(value, text.size()) == 0) return Enqueue(message, 0, std::string());
  text = ShownDisplayText(std::move(text), value);
  std::size_t droppedBytes = 0;
  if (!text.empty()) {
    std::lock_guard lock(display_->mutex);
    if (text.size() > kDisplayWaitingLimitBytes - display_->pendingBytes)
      droppedBytes = text.size();
    else
      display_->pendingBytes += text.size();
  }
  // The line count of the title comes from the sources, so a dropped text
  // still updates it.
  if (droppedBytes > 0) text = std::string();
  return Enqueue(message, value, std::move(text), droppedBytes);
}

void ConsoleFrontEnd::Post(Message message, std::uint32_t value, std::string text) {
  Accept(message, value, std::move(text));
}

void ConsoleFrontEnd::Send(Message message, std::uint32_t value, std::string text) {
  const std::uint64_t sequence = Accept(message, value, std::move(text));
  std::unique_lock lock(mutex_);
  handled_.wait(lock, [&] { return closed_ || handledThrough_ >= sequence; });
}

void ConsoleFrontEnd::ShowIcon(TrayIcon icon) { icon_ = icon; }

void ConsoleFrontEnd::EnableMenuItems(bool start, bool /*stop*/) { startEnabled_ = start; }

void ConsoleFrontEnd::SetLogPath(std::string path) {
  std::lock_guard lock(mutex_);
  logPath_ = std::move(path);
}

std::string ConsoleFrontEnd::LogPath() const {
  std::lock_guard lock(mutex_);
  return logPath_;
}

int ConsoleFrontEnd::WakeDescriptor() const { return static_cast<int>(wake_.NativeHandle()); }

void ConsoleFrontEnd::Drain() {
  // Lowered before the queue is taken, so a message queued meanwhile raises
  // it again and the next poll() returns.
  wake_.Consume();
  std::deque<Item> items;
  {
    std::lock_guard lock(mutex_);
    items.swap(queue_);
  }
  for (Item& item : items) {
    Handle(item);
    {
      std::lock_guard lock(mutex_);
      handledThrough_ = item.sequence;
    }
    handled_.notify_all();
  }
  ExpireWarnings();
}

void ConsoleFrontEnd::ShowOwnerlessBox(std::string text) {
  {
    std::lock_guard lock(mutex_);
    lastBox_ = text;
    queue_.push_back({Message::kDebug, 0, std::move(text), nextSequence_++, 0, true});
  }
  wake_.Signal();
}

std::string ConsoleFrontEnd::LastBox() const {
  std::lock_guard lock(mutex_);
  return lastBox_;
}

void ConsoleFrontEnd::Handle(Item& item) {
  if (item.box) {
    streams_.err << windowTitle_ << ": " << item.text << '\n';
    streams_.err.flush();
    ErrorLog(clock_, LogPath())
        .WriteText(sources_.currentSite ? sources_.currentSite() : std::string(), item.text);
    return;
  }
  switch (item.message) {
    case Message::kDisplay:
      Display(item);
      break;
    case Message::kSystemError:
    case Message::kError:
    case Message::kDebug:
      WriteReport(ErrorLog(clock_, LogPath(), streams_.logWatch), item.message, item.value, item.text);
      break;
    case Message::kWarning:
      if (IsWarningId(item.value)) ShowWarning(static_cast<int>(item.value));
      break;
    case Message::kQuit:
      if (sources_.quit) sources_.quit();
      break;
  }
}

// Post has cut the text to what is shown and decided whether it fits.
void ConsoleFrontEnd::Display(Item& item) {
  if (item.value == 0) return;
  if (item.droppedBytes > 0) {
    droppedBytes_ += item.droppedBytes;
  } else if (!item.text.empty()) {
    EndDropEpisode();
    std::lock_guard lock(display_->mutex);
    if (display_->stop) {
      display_->pendingBytes -= item.text.size();
    } else {
      display_->chunks.push_back(std::move(item.text));
      display_->work.notify_one();
    }
  }

  std::string title =
      DisplayTitle(windowTitle_, sources_.currentSite ? sources_.currentSite() : std::string(),
                   sources_.lineCount ? sources_.lineCount() : 0);
  if (streams_.titleToTerminal) {
    // Only the latest title waits: a blocked terminal does not collect them.
    std::lock_guard lock(display_->mutex);
    if (!display_->stop) {
      display_->title = "\x1b]0;" + title + '\x07';
      display_->work.notify_one();
    }
  }
  std::lock_guard lock(mutex_);
  title_ = std::move(title);
}

void ConsoleFrontEnd::EndDropEpisode() {
  LogDroppedDisplay(ErrorLog(clock_, LogPath(), streams_.logWatch), droppedBytes_);
  droppedBytes_ = 0;
}

void ConsoleFrontEnd::ShowWarning(int id) {
  flags_.WarningPending(id) = true;
  std::optional<std::uint64_t>& shownAt = shownAtMs_[WarningIndex(id)];
  // Already on "screen": a sender that ignored the pending flag does not get
  // a second copy.
  if (shownAt) return;
  shownAt = clock_.TickMs();

  const std::string text =
      WarningText(id, sources_.spaceThresholdMb ? sources_.spaceThresholdMb() : 0);
  streams_.err << windowTitle_ << ": " << text << '\n';
  streams_.err.flush();
  ErrorLog(clock_, LogPath(), streams_.logWatch).WriteMessage(id);
}

void ConsoleFrontEnd::ExpireWarnings() {
  const std::uint64_t nowMs = clock_.TickMs();
  for (int id = kFirstWarningId; id <= kLastWarningId; ++id) {
    std::optional<std::uint64_t>& shownAt = shownAtMs_[WarningIndex(id)];
    if (shownAt && nowMs - *shownAt >= kWarningRepeatMs) {
      shownAt.reset();
      flags_.WarningPending(id) = false;
    }
  }
}

int ConsoleFrontEnd::MsUntilNextExpiry() const {
  const std::uint64_t nowMs = clock_.TickMs();
  std::optional<std::uint64_t> soonestMs;
  for (const auto& shownAt : shownAtMs_) {
    if (!shownAt) continue;
    const std::uint64_t elapsedMs = nowMs - *shownAt;
    const std::uint64_t leftMs = elapsedMs >= kWarningRepeatMs ? 0 : kWarningRepeatMs - elapsedMs;
    if (!soonestMs || leftMs < *soonestMs) soonestMs = leftMs;
  }
  if (!soonestMs) return -1;
  return static_cast<int>(std::min<std::uint64_t>(*soonestMs, std::numeric_limits<int>::max()));
}

void ConsoleFrontEnd::AcknowledgeWarnings() {
  for (auto& shownAt : shownAtMs_) shownAt.reset();
  flags_.ClearWarnings();
}

void ConsoleFrontEnd::Close() {
  bool already;
  {
    std::lock_guard lock(mutex_);
    already = closed_;
    closed_ = true;
  }
  handled_.notify_all();
  if (already) return;
  EndDropEpisode();
  StopDisplayWriter();
}

void ConsoleFrontEnd::StopDisplayWriter() {
  if (!displayThread_.joinable()) return;
  bool ended;
  {
    std::unique_lock lock(display_->mutex);
    display_->stop = true;
    display_->work.notify_one();
    ended = display_->progress.wait_for(lock, streams_.closeGrace, [&] { return display_->ended; });
    if (!ended) {
      display_->abandoned = true;
      display_->work.notify_one();
    }
  }
  if (ended)
    displayThread_.join();
  else
    displayThread_.detach();
}

std::string ConsoleFrontEnd::Title() const {
  std::lock_guard lock(mutex_);
  return title_;
}

bool ConsoleFrontEnd::FlushDisplay(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(display_->mutex);
  return display_->progress.wait_for(lock, timeout, [&] { return display_->CaughtUp(); });
}

std::size_t ConsoleFrontEnd::PendingDisplayBytes() const {
  std::lock_guard lock(display_->mutex);
  return display_->pendingBytes;
}

}  // namespace vr
