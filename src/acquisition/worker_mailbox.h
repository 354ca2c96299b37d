#pragma once
// Requests to the site worker, and what it tells about itself. The main
// thread posts requests; the worker takes them when it pumps its messages
// (PumpWorkerMessages), so each takes effect on the worker's own thread.

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/wake_signal.h"

namespace vr {

enum class WorkerRequest : std::uint32_t {
  kClose = 0x400 + 101,           // end the worker (and the running connection)
  kStopConnection = 0x400 + 102,  // end the running connection ("&Interrompi")
  kReload = 0x400 + 103,          // read the configuration again
  kStartSite = 0x400 + 104,       // a site chosen in the sites menu: value = item id
};

class WorkerMailbox {
 public:
  struct Item {
    WorkerRequest request;
    std::uint32_t value;
  };

  explicit WorkerMailbox(WakeSignal& wake) : wake_(wake) {}

  void Post(WorkerRequest request, std::uint32_t value = 0) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back({request, value});
    }
    wake_.Signal();
  }

  std::vector<Item> Take() {
    std::lock_guard lock(mutex_);
    std::vector<Item> taken(items_.begin(), items_.end());
    items_.clear();
    return taken;
  }

  WakeSignal& Wake() { return wake_; }

 private:
  WakeSignal& wake_;
  std::mutex mutex_;
  std::deque<Item> items_;
};

// What `status` shows.
enum class WorkerState { kIdle, kConnecting, kReceiving, kHeld, kLineError, kEnded };

const char* WorkerStateName(WorkerState state);

struct WorkerStatus {
  std::string site;  // the current site, empty between sites
  WorkerState state = WorkerState::kIdle;
  std::uint64_t lines = 0;  // line ends seen since the program started
  std::uint32_t spaceThresholdMb = 0;  // SpazioTimeout of the current site (warning 7004)
};

// What the worker has stored for one site since the program started.
struct SiteActivity {
  std::uint64_t records = 0;  // lines in the stored chunks
  std::uint64_t bytes = 0;    // bytes of the stored chunks
  // Local seconds since 1601-01-01 of the last chunk that held a line end;
  // negative while there was none.
  std::int64_t lastRecordSeconds = -1;
};

class StatusBoard {
 public:
  WorkerStatus Get() const {
    std::lock_guard lock(mutex_);
    return status_;
  }
  void SetSite(std::string site) {
    std::lock_guard lock(mutex_);
    status_.site = std::move(site);
  }
  void SetState(WorkerState state) {
    std::lock_guard lock(mutex_);
    status_.state = state;
  }
  void SetSpaceThreshold(std::uint32_t megabytes) {
    std::lock_guard lock(mutex_);
    status_.spaceThresholdMb = megabytes;
  }
  void SetLines(std::uint64_t lines) {
    std::lock_guard lock(mutex_);
    status_.lines = lines;
  }

  // A chunk of `bytes` holding `records` line ends was handed to the site's
  // files at localSeconds.
  void NoteStored(const std::string& site, std::uint64_t records, std::uint64_t bytes,
                  std::int64_t localSeconds) {
    std::lock_guard lock(mutex_);
    SiteActivity& activity = activity_[site];
    activity.records += records;
    activity.bytes += bytes;
    if (records > 0) activity.lastRecordSeconds = localSeconds;
  }
  // Kept apart from Get(): the title asks for the status at every chunk shown
  // and needs no copy of every site's counts.
  std::map<std::string, SiteActivity> Activity() const {
    std::lock_guard lock(mutex_);
    return activity_;
  }

 private:
  mutable std::mutex mutex_;
  WorkerStatus status_;
  std::map<std::string, SiteActivity> activity_;
};

}  // namespace vr
