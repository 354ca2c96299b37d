#include "ui/control_pipe_win32.h"

#include <sddl.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace vr {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kBufferBytes = 64 * 1024;

DWORD MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<DWORD>(left.count());
}

// The process's own account as a SID string; empty when it cannot be read.
std::wstring OwnAccountSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  std::wstring text;
  LPWSTR sid = nullptr;
  if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
    text = sid;
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

struct LocalMemory {
  void* memory = nullptr;
  ~LocalMemory() {
    if (memory) LocalFree(memory);
  }
};

// One overlapped operation of the client, bounded by the deadline.
bool ClientFinish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, Clock::time_point deadline,
                  DWORD& bytes, DWORD& error) {
  error = started ? ERROR_SUCCESS : GetLastError();
  if (!started && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return false;
  if (WaitForSingleObject(overlapped.hEvent, MillisecondsUntil(deadline)) != WAIT_OBJECT_0) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
    error = WAIT_TIMEOUT;
    return false;
  }
  const BOOL ok = GetOverlappedResult(pipe, &overlapped, &bytes, FALSE);
  error = ok ? ERROR_SUCCESS : GetLastError();
  return ok || error == ERROR_MORE_DATA;
}

}  // namespace

std::wstring ControlPipeSecurity() {
  // Protected: nothing inherited widens it.
  std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
  if (const std::wstring own = OwnAccountSid(); !own.empty()) sddl += L"(A;;GA;;;" + own + L")";
  return sddl;
}

ControlPipeServer::~ControlPipeServer() { Stop(); }

bool ControlPipeServer::Start(const std::wstring& name, Answer answer, DWORD& error,
                              std::chrono::milliseconds deadline) {
  Stop();
  LocalMemory descriptor;
  SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          ControlPipeSecurity().c_str(), SDDL_REVISION_1, &descriptor.memory, nullptr)) {
    error = GetLastError();
    return false;
  }
  security.lpSecurityDescriptor = descriptor.memory;
  pipe_ = CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      // One instance: clients take turns, each bounded by the deadline.
      1, kBufferBytes, kBufferBytes, 0, &security);
  if (pipe_ == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return false;
  }
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  io_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!stop_ || !io_) {
    error = GetLastError();
    Stop();
    return false;
  }
  answer_ = std::move(answer);
  deadline_ = deadline;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void ControlPipeServer::Stop() {
  if (thread_.joinable()) {
    SetEvent(stop_);
    thread_.join();
  }
  if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
  pipe_ = INVALID_HANDLE_VALUE;
  for (HANDLE* event : {&stop_, &io_}) {
    if (*event) CloseHandle(*event);
    *event = nullptr;
  }
}

ControlPipeServer::Wait ControlPipeServer::Finish(BOOL started, Clock::time_point deadline,
                                                  BOOL& ok, DWORD& bytes, DWORD& error) {
  bytes = 0;
  error = started ? ERROR_SUCCESS : GetLastError();
  ok = started;
  if (!started && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
    return Wait::kDone;  // it failed at once: nothing is pending
  const HANDLE events[] = {stop_, io_};
  const DWORD waited = WaitForMultipleObjects(
      2, events, FALSE,
      deadline == Clock::time_point::max() ? INFINITE : MillisecondsUntil(deadline));
  if (waited != WAIT_OBJECT_0 + 1) {
    // The operation refers to overlapped_: it must be over before we go on.
    CancelIo(pipe_);
    GetOverlappedResult(pipe_, &overlapped_, &bytes, TRUE);
    return waited == WAIT_OBJECT_0 ? Wait::kStopped : Wait::kTimedOut;
  }
  ok = GetOverlappedResult(pipe_, &overlapped_, &bytes, FALSE);
  error = ok ? ERROR_SUCCESS : GetLastError();
  return Wait::kDone;
}

void ControlPipeServer::Serve() {
  for (;;) {
    overlapped_ = {};
    overlapped_.hEvent = io_;
    BOOL ok = FALSE;
    DWORD bytes = 0;
    DWORD error = 0;
    const BOOL started = ConnectNamedPipe(pipe_, &overlapped_);
    // A client that came between two connections is connected already.
    const bool early = !started && GetLastError() == ERROR_PIPE_CONNECTED;
    if (!early && Finish(started, Clock::time_point::max(), ok, bytes, error) == Wait::kStopped)
      return;
    if (early || ok) {
      if (!ServeConnection()) {
        DisconnectNamedPipe(pipe_);
        return;
      }
    } else if (error != ERROR_NO_DATA) {
      // A refusal of the system that may last: no busy loop, and the stop
      // is still heard.
      if (WaitForSingleObject(stop_, 1000) == WAIT_OBJECT_0) return;
    }
    DisconnectNamedPipe(pipe_);
  }
}

bool ControlPipeServer::ServeConnection() {
  const Clock::time_point deadline = Clock::now() + deadline_;
  BOOL ok = FALSE;
  DWORD bytes = 0;
  DWORD error = 0;
  std::string request;
  char buffer[512];
  // The request: one message, read up to its end, its first line end, or
  // one byte past the longest line.
  for (;;) {
    overlapped_ = {};
    overlapped_.hEvent = io_;
    const BOOL started = ReadFile(pipe_, buffer, sizeof buffer, nullptr, &overlapped_);
    switch (Finish(started, deadline, ok, bytes, error)) {
      case Wait::kStopped:
        return false;
      case Wait::kTimedOut:
        return true;  // too slow: dropped unanswered
      case Wait::kDone:
        break;
    }
    if (!ok && error != ERROR_MORE_DATA) return true;  // gone before a whole request
    request.append(buffer, bytes);
    if (ok || request.find('\n') != std::string::npos || request.size() > kMaxControlRequestBytes)
      break;
  }
  const std::size_t end = std::min(request.find('\n'), request.size());
  std::string reply;
  if (end > kMaxControlRequestBytes) {
    reply = "error request too long\n";
  } else {
    std::string_view line(request.data(), end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    reply = answer_(line);
  }
  overlapped_ = {};
  overlapped_.hEvent = io_;
  const BOOL written =
      WriteFile(pipe_, reply.data(), static_cast<DWORD>(reply.size()), nullptr, &overlapped_);
  switch (Finish(written, deadline, ok, bytes, error)) {
    case Wait::kStopped:
      return false;
    case Wait::kTimedOut:
      return true;
    case Wait::kDone:
      break;
  }
  if (!ok) return true;
  // A disconnect now would throw away the answer that the client has not
  // read yet: it is over when the client closes its end (or the deadline).
  for (;;) {
    overlapped_ = {};
    overlapped_.hEvent = io_;
    const BOOL started = ReadFile(pipe_, buffer, sizeof buffer, nullptr, &overlapped_);
    switch (Finish(started, deadline, ok, bytes, error)) {
      case Wait::kStopped:
        return false;
      case Wait::kTimedOut:
        return true;
      case Wait::kDone:
        break;
    }
    if (!ok && error != ERROR_MORE_DATA) return true;  // closed (or broken): done
  }
}

PipeAskResult AskPipe(const std::wstring& name, std::string_view request, std::string& reply,
                      std::chrono::milliseconds timeout) {
  reply.clear();
  const Clock::time_point deadline = Clock::now() + timeout;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (;;) {
    // Identification only: whoever serves the name cannot act as this user.
    pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                       nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return PipeAskResult::kNoInstance;
    if (error == ERROR_ACCESS_DENIED) return PipeAskResult::kDenied;
    if (error != ERROR_PIPE_BUSY) return PipeAskResult::kNoAnswer;
    // Another client is being served: its turn ends within the deadline.
    const DWORD left = MillisecondsUntil(deadline);
    if (left == 0) return PipeAskResult::kNoAnswer;
    if (!WaitNamedPipeW(name.c_str(), left) && GetLastError() == ERROR_FILE_NOT_FOUND)
      return PipeAskResult::kNoInstance;
    if (MillisecondsUntil(deadline) == 0) return PipeAskResult::kNoAnswer;
  }
  std::unique_ptr<void, decltype(&CloseHandle)> closePipe(pipe, CloseHandle);
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) return PipeAskResult::kNoAnswer;
  std::unique_ptr<void, decltype(&CloseHandle)> closeEvent(event, CloseHandle);

  std::string line(request);
  line += '\n';
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD bytes = 0;
  DWORD error = 0;
  const BOOL written =
      WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), nullptr, &overlapped);
  if (!ClientFinish(pipe, overlapped, written, deadline, bytes, error) || bytes != line.size())
    return PipeAskResult::kNoAnswer;
  char buffer[4096];
  for (;;) {
    overlapped = {};
    overlapped.hEvent = event;
    const BOOL read = ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped);
    if (!ClientFinish(pipe, overlapped, read, deadline, bytes, error))
      return PipeAskResult::kNoAnswer;  // dropped (too slow, or stopping)
    reply.append(buffer, bytes);
    if (error == ERROR_SUCCESS) break;  // the answer's message is whole
  }
  return reply.empty() ? PipeAskResult::kNoAnswer : PipeAskResult::kAnswered;
}

}  // namespace vr
