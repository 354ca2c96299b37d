#pragma once
// A Notifier that records every message, for tests.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/notifier.h"

namespace vr::test {

class RecordingNotifier final : public Notifier {
 public:
  struct Note {
    Message message;
    std::uint32_t value;
    std::string text;
    bool sent;  // Send rather than Post
    friend bool operator==(const Note&, const Note&) = default;
  };

  void Post(Message message, std::uint32_t value, std::string text) override {
    std::lock_guard lock(mutex_);
    notes_.push_back({message, value, std::move(text), false});
  }
  void Send(Message message, std::uint32_t value, std::string text) override {
    std::lock_guard lock(mutex_);
    notes_.push_back({message, value, std::move(text), true});
  }

  std::vector<Note> Notes() const {
    std::lock_guard lock(mutex_);
    return notes_;
  }
  // The values of the messages of one kind, in order.
  std::vector<std::uint32_t> Values(Message message) const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint32_t> values;
    for (const Note& n : notes_)
      if (n.message == message) values.push_back(n.value);
    return values;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    notes_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Note> notes_;
};

// Records like RecordingNotifier and lets a test act on each report as it
// comes (on the worker's thread), e.g. to end the run.
class WatchingNotifier final : public Notifier {
 public:
  void Post(Message message, std::uint32_t value, std::string text) override {
    if (onNote) onNote(message, value, text);
    recorded.Post(message, value, std::move(text));
  }
  void Send(Message message, std::uint32_t value, std::string text) override {
    if (onNote) onNote(message, value, text);
    recorded.Send(message, value, std::move(text));
  }
  std::function<void(Message, std::uint32_t, const std::string&)> onNote;
  RecordingNotifier recorded;
};

}  // namespace vr::test
