#pragma once
// The main thread's loop of the POSIX program: blocked in poll() on the
// signal pipe, the front end's queue and the control socket until one of
// them has something, or until a shown warning expires. Nothing runs while
// the program is idle.

#include <functional>
#include <string_view>

#include "app/signal_pipe_posix.h"
#include "ui/console_posix.h"
#include "ui/control_socket_posix.h"

namespace vr {

struct MainLoopParts {
  ConsoleFrontEnd& frontEnd;
  ControlServer* server = nullptr;  // none when the socket could not be made
  SignalPipe* signals = nullptr;    // none when the handlers could not be installed
  ControlServer::Answer answer;     // control requests
  std::function<void(int signalNumber)> onSignal;
};

// Handles events until done() is true; done() is asked before the first wait
// and after every turn. extraFd, when not -1, only wakes the loop (the
// worker's end during the shutdown).
void RunMainLoop(MainLoopParts& parts, const std::function<bool()>& done, int extraFd = -1);

}  // namespace vr
