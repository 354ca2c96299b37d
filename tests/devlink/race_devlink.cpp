// A test call-log library that calls back the way a careless library may:
// DLRegisterCallLog starts two threads that are let go at the same moment
// and each hands over its records as fast as it can, so both are inside
// the callback at once; DLClose calls back from its caller's thread and
// from a thread of its own before it returns; and DLTestCallLate, which the
// test calls after the run has ended, calls back once more from a thread.
//
// DLOpen's address is "race:N": N records per thread. Each record is
// "T-NNNNNN-" (T the thread, A or B) and a filler, so a record cut or mixed
// with another one shows. When both threads are done the comms callback is
// called with state 99.

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "devices/devlink_api.h"

namespace {

constexpr std::uint32_t kStateDone = 99;

std::mutex g_mutex;
std::condition_variable g_changed;
int g_waiting = 0;  // threads at the start line
COMMSEVENT g_comms = nullptr;
CALLLOGEVENT g_callLog = nullptr;
int g_records = 0;
std::thread g_threads[2];

std::string Record(char thread, int index) {
  char head[32];
  std::snprintf(head, sizeof head, "%c-%06d-", thread, index);
  return head + std::string(60, static_cast<char>(thread + 'a' - 'A'));
}

void Deliver(char thread) {
  {
    // Both wait here until the other one is there too.
    std::unique_lock lock(g_mutex);
    ++g_waiting;
    g_changed.notify_all();
    g_changed.wait(lock, [] { return g_waiting == 2; });
  }
  for (int i = 1; i <= g_records; ++i) g_callLog(1, Record(thread, i).c_str());
}

}  // namespace

extern "C" {

VR_DEVLINK_EXPORT std::int32_t VR_DEVLINK_CALL DLOpen(std::int32_t, const char* pbx_address,
                                                      const char*, const char*, const char*,
                                                      COMMSEVENT cb) {
  g_comms = cb;
  g_records = std::strncmp(pbx_address, "race:", 5) == 0 ? std::atoi(pbx_address + 5) : 0;
  g_waiting = 0;
  return 0;
}

VR_DEVLINK_EXPORT std::int32_t VR_DEVLINK_CALL DLRegisterCallLog(std::int32_t, CALLLOGEVENT cb) {
  g_callLog = cb;
  g_threads[0] = std::thread(Deliver, 'A');
  g_threads[1] = std::thread(Deliver, 'B');
  std::thread([] {
    g_threads[0].join();
    g_threads[1].join();
    g_comms(1, kStateDone, 0);
  }).detach();
  return 0;
}

VR_DEVLINK_EXPORT std::int32_t VR_DEVLINK_CALL DLClose(std::int32_t) {
  g_callLog(1, "CLOSE-CALLER");
  std::thread([] { g_callLog(1, "CLOSE-THREAD"); }).join();
  return 0;
}

VR_DEVLINK_EXPORT void VR_DEVLINK_CALL DLTestCallLate(const char* text) {
  std::thread([text] { g_callLog(1, text); }).join();
}

}  // extern "C"
