// vesper-sim as a user meets it: started as a program, read through the pty
// path it prints. The program is looked for beside this test's build folder
// (tools/vesper-sim); the tests skip when it has not been built.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/kestrel_box.h"
#include "sim/records.h"
#include "support/temp_dir.h"

namespace vr::sim {
namespace {

// A bound on every wait for the program, so a broken build fails instead of
// hanging; nothing is measured against it.
constexpr int kPatienceMs = 20000;

std::filesystem::path SimProgram() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return self.parent_path().parent_path() / "tools" / "vesper-sim";
}

// One run of vesper-sim with its standard output on a pipe.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) return;
    const std::string program = SimProgram().string();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      const int devNull = open("/dev/null", O_WRONLY);
      if (devNull >= 0) dup2(devNull, STDERR_FILENO);  // its hints for a user
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program.c_str()));
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
  }
  ~SimProcess() {
    if (fd_ >= 0) close(fd_);
    if (stdout_ >= 0) close(stdout_);
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Everything it wrote on standard output until it closed it.
  std::string AllOutput() {
    std::string text;
    char c;
    while (Wait(stdout_) && read(stdout_, &c, 1) == 1) text += c;
    return text;
  }
  // The first line of its output: the pty path.
  std::string FirstLine() {
    std::string line;
    char c;
    while (Wait(stdout_) && read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  // Opens the pty path it printed.
  bool OpenLine() {
    const std::string path = FirstLine();
    if (path.empty()) return false;
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    return fd_ >= 0;
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until `count` bytes have come (or the program stops sending).
  std::string Receive(std::size_t count) {
    std::string text;
    char buffer[512];
    while (text.size() < count && Wait(fd_)) {
      const ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - text.size()));
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }
  // Its exit status, once it has ended by itself.
  int ExitStatus() {
    int status = 0;
    waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void CloseLine() {
    close(fd_);
    fd_ = -1;
  }

 private:
  static bool Wait(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, kPatienceMs) == 1;
  }
  pid_t pid_ = -1;
  int stdout_ = -1;
  int fd_ = -1;
  bool exited_ = false;
};

class VesperSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(SimProgram())) GTEST_SKIP() << "vesper-sim not built";
  }
};

std::string Joined(const std::vector<std::string>& records) {
  std::string text;
  for (const std::string& r : records) text += r + "\r\n";
  return text;
}

TEST_F(VesperSimTest, HelpSaysHowToTryIt) {
  SimProcess sim({"--help"});
  const std::string help = sim.AllOutput();
  EXPECT_EQ(sim.ExitStatus(), 0);
  EXPECT_NE(help.find("vesper-sim exchange"), std::string::npos);
  EXPECT_NE(help.find("cat /dev/pts/"), std::string::npos);
  EXPECT_NE(help.find("--model KSTA|KSTB|KSTC|KSTD"), std::string::npos);
}

TEST_F(VesperSimTest, WrongUsageFails) {
  SimProcess sim({"box"});  // no model
  EXPECT_EQ(sim.AllOutput(), "");
  EXPECT_EQ(sim.ExitStatus(), 2);
}

TEST_F(VesperSimTest, ExchangeRecordsCanBeReadFromThePrintedPath) {
  SimProcess sim({"exchange", "--records", "3", "--rate", "0", "--baud", "38400"});
  ASSERT_TRUE(sim.OpenLine());
  const std::string expected = Joined(MakeCallRecords(3, 1));

  EXPECT_EQ(sim.Receive(expected.size()), expected);
}

TEST_F(VesperSimTest, EndsWhenDoneAndLeavesWhatItSentInAFile) {
  test::TempDir dir;
  const std::string sentPath = dir.File("sent.txt");
  SimProcess sim({"exchange", "--records", "4", "--rate", "0", "--seed", "7", "--line-end",
                  "lf", "--baud", "38400", "--sent", sentPath, "--exit-when-done"});
  ASSERT_TRUE(sim.OpenLine());
  std::string expected;
  for (const std::string& r : MakeCallRecords(4, 7)) expected += r + "\n";

  EXPECT_EQ(sim.Receive(expected.size()), expected);
  EXPECT_EQ(sim.ExitStatus(), 0);
  EXPECT_EQ(dir.Read("sent.txt"), expected);
}

TEST_F(VesperSimTest, KstdBoxAnswersThroughThePty) {
  SimProcess sim({"box", "--model", "KSTD", "--records", "2"});
  ASSERT_TRUE(sim.OpenLine());
  const std::string text = Joined(MakeCallRecords(2, 1));

  sim.Send("\x11");
  const std::string block = sim.Receive(3 + text.size() + 1);
  ASSERT_EQ(block.size(), 3 + text.size() + 1);
  EXPECT_EQ(block[0], '\x11');
  EXPECT_EQ(static_cast<std::size_t>(static_cast<std::uint8_t>(block[1]) << 8 |
                                     static_cast<std::uint8_t>(block[2])),
            text.size());
  EXPECT_EQ(block.substr(3, text.size()), text);
  EXPECT_EQ(static_cast<std::uint8_t>(block.back()), AdditiveChecksum(text));

  sim.Send("\x17");
  EXPECT_EQ(sim.Receive(1), "\x17");
  sim.Send("\x02");
  const std::string status = sim.Receive(1 + kKstdStatusBytes);
  ASSERT_EQ(status.size(), 1 + kKstdStatusBytes);
  EXPECT_EQ(status.substr(8, 7), "0000000");  // emptied
}

TEST_F(VesperSimTest, KeepsServingAfterAReaderCloses) {
  SimProcess sim({"box", "--model", "KSTB", "--records", "1"});
  ASSERT_TRUE(sim.OpenLine());
  sim.Send("\x13");
  EXPECT_EQ(sim.Receive(1), "\x13");
  sim.CloseLine();
}

}  // namespace
}  // namespace vr::sim
