#include "ui/console_posix.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "log/error_log.h"
#include "log/strings.h"

namespace vr {
namespace {

bool IsWarningId(std::uint32_t id) {
  return id >= static_cast<std::uint32_t>(kFirstWarningId) &&
         id <= static_cast<std::uint32_t>(kLastWarningId);
}

std::size_t WarningIndex(int id) { return static_cast<std::size_t>(id - kFirstWarningId); }

}  // namespace

ConsoleFrontEnd::ConsoleFrontEnd(std::string windowTitle, std::string logPath,
                                 ConsoleStreams streams, ProcessFlags& flags, const Clock& clock,
                                 ConsoleSources sources)
    : windowTitle_(std::move(windowTitle)),
      streams_(streams),
      flags_(flags),
      clock_(clock),
      sources_(std::move(sources)),
      logPath_(std::move(logPath)),
      title_(windowTitle_) {}

ConsoleFrontEnd::~ConsoleFrontEnd() { Close(); }

std::uint64_t ConsoleFrontEnd::Enqueue(Message message, std::uint32_t value, std::string text) {
  std::uint64_t sequence;
  {
    std::lock_guard lock(mutex_);
    sequence = nextSequence_++;
    queue_.push_back({message, value, std::move(text), sequence});
  }
  wake_.Signal();
  return sequence;
}

void ConsoleFrontEnd::Post(Message message, std::uint32_t value, std::string text) {
  Enqueue(message, value, std::move(text));
}

void ConsoleFrontEnd::Send(Message message, std::uint32_t value, std::string text) {
  const std::uint64_t sequence = Enqueue(message, value, std::move(text));
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
  for (const Item& item : items) {
    Handle(item);
    {
      std::lock_guard lock(mutex_);
      handledThrough_ = item.sequence;
    }
    handled_.notify_all();
  }
  ExpireWarnings();
}

void ConsoleFrontEnd::Handle(const Item& item) {
  switch (item.message) {
    case Message::kDisplay:
      Display(item.value, item.text);
      break;
    case Message::kSystemError:
      ErrorLog(clock_, LogPath()).WriteSystemError(item.value, item.text);
      break;
    case Message::kError:
      ErrorLog(clock_, LogPath()).WriteMessage(static_cast<int>(item.value), item.text);
      break;
    case Message::kDebug:
      if (!item.text.empty()) ErrorLog(clock_, LogPath()).WriteDebug(item.text);
      break;
    case Message::kWarning:
      if (IsWarningId(item.value)) ShowWarning(static_cast<int>(item.value));
      break;
    case Message::kQuit:
      if (sources_.quit) sources_.quit();
      break;
  }
}

void ConsoleFrontEnd::Display(std::uint32_t count, const std::string& text) {
  std::size_t bytes = std::min<std::size_t>(count, text.size());
  if (bytes == 0) return;
  // The display shows text up to a first NUL byte, as the window's text box does.
  bytes = std::min(bytes, text.find('\0'));
  streams_.out.write(text.data(), static_cast<std::streamsize>(bytes));

  std::string title = windowTitle_;
  const std::string site = sources_.currentSite ? sources_.currentSite() : std::string();
  if (!site.empty()) title += "  " + site;
  title += "  " + std::to_string(sources_.lineCount ? sources_.lineCount() : 0) + " ";
  title += MessageText(msg::kLinesReceived);
  if (streams_.titleToTerminal) streams_.out << "\x1b]0;" << title << '\x07';
  streams_.out.flush();
  std::lock_guard lock(mutex_);
  title_ = std::move(title);
}

void ConsoleFrontEnd::ShowWarning(int id) {
  flags_.WarningPending(id) = true;
  std::optional<std::uint64_t>& shownAt = shownAtMs_[WarningIndex(id)];
  // Already on "screen": a sender that ignored the pending flag does not get
  // a second copy.
  if (shownAt) return;
  shownAt = clock_.TickMs();

  std::string text(MessageText(id));
  if (id == msg::kDiskSpace) {
    text += std::to_string(sources_.spaceThresholdMb ? sources_.spaceThresholdMb() : 0);
    text += "MB.";
  }
  streams_.err << windowTitle_ << ": " << text << '\n';
  streams_.err.flush();
  ErrorLog(clock_, LogPath()).WriteMessage(id);
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
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  handled_.notify_all();
}

std::string ConsoleFrontEnd::Title() const {
  std::lock_guard lock(mutex_);
  return title_;
}

}  // namespace vr
