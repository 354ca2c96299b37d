// The control pipe with a real server thread and real clients in one
// process: one request per connection, the answer whole to the client, a
// silent client dropped at its deadline, the stop never held by a client.

#include "ui/control_pipe_win32.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace vr {
namespace {

std::wstring UniquePipeName() {
  static std::atomic<int> counter{0};
  return L"\\\\.\\pipe\\vr-control-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter);
}

// A client that opens the pipe and says nothing until told.
HANDLE OpenRaw(const std::wstring& name) {
  return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

// Blocks until the server ends the connection; true when it ended it
// without sending anything.
bool EndedUnanswered(HANDLE pipe) {
  char byte = 0;
  DWORD got = 0;
  const BOOL ok = ReadFile(pipe, &byte, 1, &got, nullptr);
  const DWORD error = GetLastError();
  return !ok && got == 0 && (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED);
}

class ControlPipeTest : public ::testing::Test {
 protected:
  void Serve(std::chrono::milliseconds deadline = kControlConnectionDeadline) {
    DWORD error = 0;
    ASSERT_TRUE(server_.Start(
        name_,
        [this](std::string_view request) {
          std::lock_guard lock(mutex_);
          requests_.emplace_back(request);
          return "ok\nasked: " + std::string(request) + "\n";
        },
        error, deadline))
        << error;
  }

  std::vector<std::string> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  const std::wstring name_ = UniquePipeName();
  std::mutex mutex_;
  std::vector<std::string> requests_;
  ControlPipeServer server_;
};

TEST_F(ControlPipeTest, EachConnectionGetsTheAnswerToItsLine) {
  Serve();
  struct Case {
    std::string request;  // as the client sends it, AskPipe adding "\n"
    std::string seen;     // as the answer function gets it
  };
  const std::vector<Case> cases = {
      {"status --json", "status --json"},
      {"stop\r", "stop"},            // one CR before the line end dropped
      {"start A\nquit", "start A"},  // the first line only
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string reply;
    ASSERT_EQ(AskPipe(name_, c.request, reply), PipeAskResult::kAnswered) << c.request;
    EXPECT_EQ(reply, "ok\nasked: " + c.seen + "\n") << c.request;
  }
  std::vector<std::string> seen;
  for (const Case& c : cases) seen.push_back(c.seen);
  EXPECT_EQ(Requests(), seen);
}

TEST_F(ControlPipeTest, AnAnswerLongerThanOneReadArrivesWhole) {
  DWORD error = 0;
  const std::string big = "ok\n" + std::string(20000, 'x') + "\n";
  ASSERT_TRUE(server_.Start(
      name_, [&big](std::string_view) { return big; }, error))
      << error;
  std::string reply;
  ASSERT_EQ(AskPipe(name_, "status --json", reply), PipeAskResult::kAnswered);
  EXPECT_EQ(reply, big);
}

TEST_F(ControlPipeTest, ALineTooLongIsRefusedUnread) {
  Serve();
  std::string reply;
  ASSERT_EQ(AskPipe(name_, std::string(kMaxControlRequestBytes + 1, 'a'), reply),
            PipeAskResult::kAnswered);
  EXPECT_EQ(reply, "error request too long\n");
  ASSERT_EQ(AskPipe(name_, std::string(kMaxControlRequestBytes, 'a'), reply),
            PipeAskResult::kAnswered);
  EXPECT_EQ(reply.rfind("ok\n", 0), 0u);
  EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(ControlPipeTest, ASilentClientIsDroppedAtItsDeadlineAndTheNextIsServed) {
  Serve(std::chrono::milliseconds(300));
  const HANDLE silent = OpenRaw(name_);
  ASSERT_NE(silent, INVALID_HANDLE_VALUE) << GetLastError();
  // The only instance is taken: this client waits for its turn.
  std::string reply;
  EXPECT_EQ(AskPipe(name_, "status", reply), PipeAskResult::kAnswered);
  EXPECT_EQ(reply, "ok\nasked: status\n");
  EXPECT_TRUE(EndedUnanswered(silent));
  CloseHandle(silent);
}

TEST_F(ControlPipeTest, StopDoesNotWaitForAConnectedClient) {
  // A deadline that no test outlives: only the stop can end the connection.
  Serve(std::chrono::hours(1));
  const HANDLE silent = OpenRaw(name_);
  ASSERT_NE(silent, INVALID_HANDLE_VALUE) << GetLastError();
  server_.Stop();
  EXPECT_FALSE(server_.Serving());
  EXPECT_TRUE(EndedUnanswered(silent));
  CloseHandle(silent);
  std::string reply;
  EXPECT_EQ(AskPipe(name_, "status", reply), PipeAskResult::kNoInstance);
}

TEST_F(ControlPipeTest, NobodyElseCanServeTheName) {
  Serve();
  ControlPipeServer second;
  DWORD error = 0;
  EXPECT_FALSE(second.Start(
      name_, [](std::string_view) { return std::string("ok\n"); }, error));
  EXPECT_NE(error, 0u);
  std::string reply;
  ASSERT_EQ(AskPipe(name_, "status", reply), PipeAskResult::kAnswered);
  EXPECT_EQ(reply, "ok\nasked: status\n");
}

TEST_F(ControlPipeTest, NoPipeMeansNoInstance) {
  std::string reply;
  EXPECT_EQ(AskPipe(name_, "status", reply), PipeAskResult::kNoInstance);
  EXPECT_TRUE(reply.empty());
}

TEST_F(ControlPipeTest, OnlySystemAdministratorsAndTheOwnAccountMayOpenIt) {
  const std::wstring sddl = ControlPipeSecurity();
  EXPECT_EQ(sddl.rfind(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;S-1-", 0), 0u);
  // Exactly three entries, all allowing: no one else, no inherited one.
  std::size_t entries = 0;
  for (std::size_t at = sddl.find(L"(A;;GA;;;"); at != std::wstring::npos;
       at = sddl.find(L"(A;;GA;;;", at + 1))
    ++entries;
  EXPECT_EQ(entries, 3u);
  EXPECT_EQ(std::count(sddl.begin(), sddl.end(), L'('), 3);

  // The pipe carries it.
  Serve();
  const HANDLE client = OpenRaw(name_);
  ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetSecurityInfo(client, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
  const std::wstring carried = text;
  LocalFree(text);
  LocalFree(descriptor);
  CloseHandle(client);
  EXPECT_EQ(std::count(carried.begin(), carried.end(), L'('), 3)
      << std::string(carried.begin(), carried.end());
  EXPECT_NE(carried.find(L";;;SY)"), std::wstring::npos);
  EXPECT_NE(carried.find(L";;;BA)"), std::wstring::npos);
}

}  // namespace
}  // namespace vr
