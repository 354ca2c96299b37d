#pragma once
// Where the call-log library's callbacks land. The library may call them
// from any thread, several at once, during DLClose and after it; the
// callbacks carry no pointer of ours, so they reach one process-wide gate.
//
// The callbacks only hand over: under the gate's lock, while a run has the
// gate open, an event is copied into the run's queue and the run's wake
// signal is raised; the site worker takes the queue and processes and
// stores each record on its own thread, one at a time. So the receive
// buffer, the line processing state and the data files keep their single
// owner, a thread of the library never waits for a disk, and a thread's
// records stay in the order it handed them over (one queue, first in first
// out). A call while the gate is closed (no run, or the run has ended) is
// dropped: it is counted, and a debug line says so while somebody listens.
// The gate itself is never destroyed, so a call that comes as the process
// ends finds it still there.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/notifier.h"
#include "base/wake_signal.h"
#include "devices/devlink_api.h"

namespace vr {

struct CallLogItem {
  enum class Kind { kRecord, kComms };
  Kind kind = Kind::kRecord;
  std::string text;              // kRecord: the record as delivered
  std::int32_t commsState = 0;   // kComms
  std::int32_t commsParm1 = 0;   // kComms
  friend bool operator==(const CallLogItem&, const CallLogItem&) = default;
};

// The debug line of a call that came while no run had the gate open.
inline constexpr const char* kLateCallLogText =
    "Evento DevLink dopo la fine del collegamento: ignorato";

class CallLogGate {
 public:
  // The one the library's callbacks reach.
  static CallLogGate& Process();

  // A run begins: events go to its queue and raise wake until Close.
  void Open(WakeSignal& wake);
  // The run has ended (after DLClose): what is still queued, in order.
  // Later calls are dropped.
  std::vector<CallLogItem> Close();
  // What has been handed over so far, in order.
  std::vector<CallLogItem> Take();

  // Where the debug line of a dropped call goes; nullptr: nowhere. The
  // notifier must stay alive until it is replaced.
  void SetLateNotifier(Notifier* notifier);
  std::uint64_t DroppedCalls() const;

  // The callbacks' bodies.
  void Record(const char* info);
  void Comms(std::uint32_t state, std::uint32_t parm1);

  // Tests: called as each callback enters, before the lock, on the caller's
  // thread; lets a test hold callers at a chosen point.
  void SetEntryHook(std::function<void()> hook);

 private:
  void Hand(CallLogItem item);

  mutable std::mutex mutex_;
  WakeSignal* wake_ = nullptr;  // set while a run has the gate open
  std::vector<CallLogItem> queue_;
  Notifier* late_ = nullptr;
  std::uint64_t dropped_ = 0;
  std::function<void()> entryHook_;
};

// The two callbacks handed to the library.
extern "C" {
void VR_DEVLINK_CALL CommsEvent(std::int32_t pbxh, std::uint32_t comms_state, std::uint32_t parm1);
void VR_DEVLINK_CALL CallLogEvent(std::int32_t pbxh, const char* info);
}

}  // namespace vr
