#pragma once
// The Windows program's control channel: a named pipe per port, served by a
// thread of its own, one connection at a time, one request per connection,
// with the framing of the Unix socket (ui/control_answer.h). The pipe is of
// the message type: the request is one message, the answer another, so the
// client knows where the answer ends without the server closing first (a
// disconnect would throw away what the client has not read yet).
//
// Only SYSTEM, the Administrators and the account of the process that made
// the pipe may open it: the service's account for the service, the user for
// a desktop instance. Remote clients are refused.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "ui/control_answer.h"

namespace vr {

// The pipe's security descriptor in SDDL: full access for SYSTEM, the
// Administrators and, when it can be read, the process's own account;
// nobody else.
std::wstring ControlPipeSecurity();

class ControlPipeServer {
 public:
  // The reply to one request line (without its line end).
  using Answer = std::function<std::string(std::string_view request)>;

  ControlPipeServer() = default;
  ~ControlPipeServer();  // Stop()
  ControlPipeServer(const ControlPipeServer&) = delete;
  ControlPipeServer& operator=(const ControlPipeServer&) = delete;

  // Makes the pipe as the first instance of its name (a program that made
  // it before cannot stand in for this instance) and starts the thread that
  // serves it. deadline bounds each connection from its connect to its
  // close. False with the system's error code.
  bool Start(const std::wstring& name, Answer answer, DWORD& error,
             std::chrono::milliseconds deadline = kControlConnectionDeadline);
  bool Serving() const { return thread_.joinable(); }
  // Ends the thread at once, whatever it waits for, and closes the pipe.
  void Stop();

 private:
  enum class Wait { kDone, kStopped, kTimedOut };
  // Waits for the overlapped operation that started (its call's result
  // given), bounded by the deadline and the stop; kDone with ok, bytes and
  // error as GetOverlappedResult gives them.
  Wait Finish(BOOL started, std::chrono::steady_clock::time_point deadline, BOOL& ok, DWORD& bytes,
              DWORD& error);
  void Serve();
  // One connected client; false when the stop was asked.
  bool ServeConnection();

  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  HANDLE stop_ = nullptr;
  HANDLE io_ = nullptr;
  OVERLAPPED overlapped_{};
  Answer answer_;
  std::chrono::milliseconds deadline_{kControlConnectionDeadline};
  std::thread thread_;
};

enum class PipeAskResult {
  kAnswered,    // reply holds the whole answer
  kNoInstance,  // no pipe of that name
  kNoAnswer,    // the pipe is there but gave no whole answer in time
  kDenied,      // the pipe refused this account
};

// Sends one request line and reads the answer, within timeout (waiting for
// the pipe while it serves another client counts).
PipeAskResult AskPipe(const std::wstring& name, std::string_view request, std::string& reply,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace vr
