#pragma once
// SIGTERM, SIGINT and SIGHUP as bytes on a self-pipe that the main loop
// polls: the handler only writes the signal's number, and everything else
// happens on the main thread. SIGPIPE is ignored, so a reader that goes
// away (a closed `ctl` client, stdout into a finished pipe) is an error
// return, not the end of the program.

#include <csignal>
#include <functional>
#include <thread>
#include <vector>

namespace vr {

class SignalPipe {
 public:
  // Installs the handlers. Only one may exist at a time.
  SignalPipe();
  // Puts the previous handlers back.
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  bool Installed() const { return installed_; }
  // Readable while signals wait to be taken; -1 when not installed.
  int Descriptor() const { return fds_[0]; }
  // The signals received since the last call, in order.
  std::vector<int> Take();

 private:
  int fds_[2] = {-1, -1};
  bool installed_ = false;
  struct sigaction previous_[4] = {};
};

// Starts a thread with the handled signals blocked, so that they reach only
// the main thread and never interrupt the thread's system calls.
std::thread StartThreadWithoutSignals(std::function<void()> body);

}  // namespace vr
