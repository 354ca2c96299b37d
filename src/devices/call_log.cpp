#include "devices/call_log.h"

#include <utility>

namespace vr {

CallLogGate& CallLogGate::Process() {
  // Never destroyed: a library thread may call back while the process ends.
  static CallLogGate* const gate = new CallLogGate;
  return *gate;
}

void CallLogGate::Open(WakeSignal& wake) {
  std::lock_guard lock(mutex_);
  queue_.clear();
  wake_ = &wake;
}

std::vector<CallLogItem> CallLogGate::Close() {
  std::lock_guard lock(mutex_);
  wake_ = nullptr;
  return std::exchange(queue_, {});
}

std::vector<CallLogItem> CallLogGate::Take() {
  std::lock_guard lock(mutex_);
  return std::exchange(queue_, {});
}

void CallLogGate::SetLateNotifier(Notifier* notifier) {
  std::lock_guard lock(mutex_);
  late_ = notifier;
}

std::uint64_t CallLogGate::DroppedCalls() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void CallLogGate::SetEntryHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  entryHook_ = std::move(hook);
}

void CallLogGate::Record(const char* info) {
  CallLogItem item;
  if (info != nullptr) item.text = info;
  Hand(std::move(item));
}

void CallLogGate::Comms(std::uint32_t state, std::uint32_t parm1) {
  CallLogItem item;
  item.kind = CallLogItem::Kind::kComms;
  // Shown as signed decimals.
  item.commsState = static_cast<std::int32_t>(state);
  item.commsParm1 = static_cast<std::int32_t>(parm1);
  Hand(std::move(item));
}

void CallLogGate::Hand(CallLogItem item) {
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = entryHook_;
  }
  if (hook) hook();
  std::lock_guard lock(mutex_);
  if (wake_ == nullptr) {
    ++dropped_;
    // Under the lock: whoever clears the notifier waits until this is done.
    if (late_ != nullptr) late_->Post(Message::kDebug, 0, kLateCallLogText);
    return;
  }
  queue_.push_back(std::move(item));
  wake_->Signal();
}

extern "C" {

void VR_DEVLINK_CALL CommsEvent(std::int32_t, std::uint32_t comms_state, std::uint32_t parm1) {
  CallLogGate::Process().Comms(comms_state, parm1);
}

void VR_DEVLINK_CALL CallLogEvent(std::int32_t, const char* info) {
  CallLogGate::Process().Record(info);
}

}  // extern "C"

}  // namespace vr
