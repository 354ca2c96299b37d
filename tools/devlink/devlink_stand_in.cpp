// A stand-in for the vendor's call-log library (libDevLink.so, DevLink.dll),
// for trying the recorder without an exchange: DLOpen connects over TCP to
// the address "host:port" (vesper-sim avaya serves it), sends the password
// on a line of its own and waits for "OK"; from then on every line the far
// end sends is one call record, handed to the call-log callback from the
// library's own thread, without its line end. A link that drops or cannot
// be made is tried again after a pause that doubles from 100 ms to 5 s.
//
// Comms states reported through the comms callback (parm1: the number of
// the connection attempt):
//   0  link up, password accepted
//   1  link down: cannot connect, or the far end went away
//   2  password refused

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/devlink_api.h"
#include "devlink/tcp_client.h"

namespace vr::devlink {
namespace {

constexpr std::uint32_t kStateUp = 0;
constexpr std::uint32_t kStateDown = 1;
constexpr std::uint32_t kStateRefused = 2;
constexpr int kFirstPauseMs = 100;
constexpr int kLastPauseMs = 5000;
constexpr int kSliceMs = 100;           // how often a wait looks at the close
constexpr int kAnswerTimeoutMs = 5000;  // for the password's answer
constexpr std::size_t kLongestLine = 1 << 20;

class Link {
 public:
  Link(std::int32_t handle, std::string address, std::string password, COMMSEVENT comms)
      : handle_(handle), password_(std::move(password)), comms_(comms) {
    const std::size_t colon = address.rfind(':');
    host_ = colon == std::string::npos ? address : address.substr(0, colon);
    port_ = colon == std::string::npos ? "50808" : address.substr(colon + 1);
    if (host_.size() > 2 && host_.front() == '[' && host_.back() == ']')
      host_ = host_.substr(1, host_.size() - 2);
    thread_ = std::thread([this] { Run(); });
  }

  ~Link() {
    closing_ = true;
    thread_.join();
  }

  void Register(CALLLOGEVENT callLog) {
    std::lock_guard lock(mutex_);
    callLog_ = callLog;
  }

 private:
  void Comms(std::uint32_t state) {
    if (comms_ != nullptr) comms_(handle_, state, attempts_);
  }

  // Lines that came before DLRegisterCallLog wait for it.
  void Deliver(std::string record) {
    CALLLOGEVENT callLog;
    {
      std::lock_guard lock(mutex_);
      callLog = callLog_;
      if (callLog == nullptr) {
        early_.push_back(std::move(record));
        return;
      }
    }
    std::vector<std::string> early;
    {
      std::lock_guard lock(mutex_);
      early.swap(early_);
    }
    for (const std::string& line : early) callLog(handle_, line.c_str());
    callLog(handle_, record.c_str());
  }

  bool Pause(int ms) {
    for (int waited = 0; waited < ms && !closing_; waited += kSliceMs)
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSliceMs, ms - waited)));
    return !closing_;
  }

  // The password's answer: one line.
  bool Accepted(TcpClient& client, std::string& rest) {
    std::string answer;
    for (int waited = 0; waited < kAnswerTimeoutMs && !closing_; waited += kSliceMs) {
      char buffer[256];
      const long n = client.Receive(buffer, sizeof buffer, kSliceMs);
      if (n < 0) return false;
      answer.append(buffer, static_cast<std::size_t>(n));
      const std::size_t end = answer.find('\n');
      if (end == std::string::npos) continue;
      rest = answer.substr(end + 1);
      std::string line = answer.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line == "OK";
    }
    return false;
  }

  // Reads records until the link drops or the library is closed.
  void Receive(TcpClient& client, std::string pending) {
    for (;;) {
      std::size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Deliver(std::move(line));
      }
      // A line without an end this long is no record; drop what we have.
      if (pending.size() > kLongestLine) pending.clear();
      if (closing_) return;
      char buffer[16384];
      const long n = client.Receive(buffer, sizeof buffer, kSliceMs);
      // The part of a record cut by the drop is not a record.
      if (n < 0) return;
      pending.append(buffer, static_cast<std::size_t>(n));
    }
  }

  void Run() {
    int pauseMs = kFirstPauseMs;
    while (!closing_) {
      ++attempts_;
      TcpClient client;
      std::string rest;
      if (!client.Connect(host_, port_)) {
        Comms(kStateDown);
      } else if (!client.SendAll(password_ + "\n")) {
        Comms(kStateDown);
      } else if (!Accepted(client, rest)) {
        if (closing_) return;
        Comms(kStateRefused);
      } else {
        Comms(kStateUp);
        pauseMs = kFirstPauseMs;
        Receive(client, std::move(rest));
        if (closing_) return;
        Comms(kStateDown);
      }
      client.Close();
      if (!Pause(pauseMs)) return;
      pauseMs = std::min(pauseMs * 2, kLastPauseMs);
    }
  }

  const std::int32_t handle_;
  std::string host_;
  std::string port_;
  const std::string password_;
  const COMMSEVENT comms_;
  std::uint32_t attempts_ = 0;  // the link's thread only
  std::atomic<bool> closing_{false};
  std::mutex mutex_;
  CALLLOGEVENT callLog_ = nullptr;
  std::vector<std::string> early_;
  std::thread thread_;
};

std::mutex g_mutex;
std::map<std::int32_t, std::unique_ptr<Link>>& Links() {
  static auto* links = new std::map<std::int32_t, std::unique_ptr<Link>>;
  return *links;
}

}  // namespace
}  // namespace vr::devlink

using vr::devlink::g_mutex;
using vr::devlink::Link;
using vr::devlink::Links;

extern "C" {

VR_DEVLINK_EXPORT std::int32_t VR_DEVLINK_CALL DLOpen(std::int32_t pbxh, const char* pbx_address,
                                                      const char* pbx_password, const char*,
                                                      const char*, COMMSEVENT cb) {
  if (pbx_address == nullptr) return -1;
  std::lock_guard lock(g_mutex);
  if (Links().count(pbxh) != 0) return -1;
  Links()[pbxh] =
      std::make_unique<Link>(pbxh, pbx_address, pbx_password ? pbx_password : "", cb);
  return 0;
}

VR_DEVLINK_EXPORT std::int32_t VR_DEVLINK_CALL DLRegisterCallLog(std::int32_t pbxh,
                                                                 CALLLOGEVENT cb) {
  std::lock_guard lock(g_mutex);
  const auto it = Links().find(pbxh);
  if (it == Links().end()) return -1;
  it->second->Register(cb);
  return 0;
}

// Returns once the link's thread has ended: no callback comes after it.
VR_DEVLINK_EXPORT std::int32_t VR_DEVLINK_CALL DLClose(std::int32_t pbxh) {
  std::unique_ptr<Link> link;
  {
    std::lock_guard lock(g_mutex);
    const auto it = Links().find(pbxh);
    if (it == Links().end()) return -1;
    link = std::move(it->second);
    Links().erase(it);
  }
  link.reset();
  return 0;
}

}  // extern "C"
