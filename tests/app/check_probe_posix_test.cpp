#include "app/check_probe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "app/check.h"
#include "base/civil_time.h"
#include "log/strings.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

using Verdict = ProbeResult::Verdict;

// A pseudo-terminal: the device a simulator plays an exchange on.
class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
      path_ = ::ptsname(master_);
  }
  ~Pty() {
    if (master_ >= 0) ::close(master_);
  }
  const std::string& Path() const { return path_; }

 private:
  int master_ = -1;
  std::string path_;
};

TEST(CheckProbePosixTest, Ports) {
  Pty pty;
  ASSERT_FALSE(pty.Path().empty());
  test::TempDir dir;
  const std::string file = dir.Write("file", "x");
  const struct {
    std::string com;
    Verdict verdict;
    const char* detail;
  } cases[] = {
      {pty.Path(), Verdict::kUsable, ""},
      {"/dev/null", Verdict::kProblem, "is the null device"},
      {"/dev/zero", Verdict::kProblem, "not a terminal device"},
      {file, Verdict::kProblem, "is a regular file"},
      {dir.Path(), Verdict::kProblem, "is a folder"},
      {"", Verdict::kProblem, "names no port"},
      {dir.File("ttyUSB9"), Verdict::kWarning, "does not exist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.com);
    const ProbeResult result = ProbePort(c.com);
    EXPECT_EQ(result.verdict, c.verdict) << result.detail;
    EXPECT_NE(result.detail.find(c.detail), std::string::npos) << result.detail;
  }
}

TEST(CheckProbePosixTest, FilesToAppendTo) {
  test::TempDir dir;
  const std::string file = dir.Write("log.txt", "x");
  const struct {
    std::string path;
    Verdict verdict;
    const char* detail;
  } cases[] = {
      {file, Verdict::kUsable, ""},
      {dir.File("new.txt"), Verdict::kUsable, ""},
      {dir.File("missing/new.txt"), Verdict::kProblem, "does not exist"},
      {dir.Path(), Verdict::kProblem, "is a folder"},
      {file + "/under-a-file.txt", Verdict::kProblem, "not a folder"},
      {"", Verdict::kProblem, "names no file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const ProbeResult result = ProbeAppendableFile(c.path);
    EXPECT_EQ(result.verdict, c.verdict) << result.detail;
    EXPECT_NE(result.detail.find(c.detail), std::string::npos) << result.detail;
  }
}

TEST(CheckProbePosixTest, TheCheckLooksAtTheRealPortAndFiles) {
  Pty pty;
  test::TempDir dir;
  const std::string site =
      "[0001]\nOgni=0\nSitoAbilitato=1\nRicorrenza=0\nOra=x\nDati=" + dir.File("no/dati.txt") +
      "\nDati2=" + dir.Path() + "\nStorico=" + dir.File("storico.txt") +
      "\nAggData=1\nAggOra=1\nEliminaNull=0\nCorreggiCR=1\nFlagCRLF=0\nImportazione=3\n"
      "STimeRead=10\nSTimeWrite=10\nMTimeRead=10\nMTimeWrite=10\nFileTimeout=60\n"
      "SpazioTimeout=50\nDispositivo=COM\nModem=0\nBaud=9600\nBitDati=8\nParita=N\nStop=1\n"
      "Handshake=NONE\nTimeoutFineImp=30\n";
  ManualClock clock{ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0})};
  auto check = [&](const std::string& com, const std::string& log, std::string& out) {
    dir.Write("VESPREC.INI", "[General]\nCom=" + com + "\nLog=" + log + "\n" + site);
    std::ostringstream o, e;
    const int status = RunConfigurationCheck(dir.Path(), o, e, clock);
    out = o.str();
    return status;
  };
  std::string out;
  EXPECT_EQ(check("/dev/null", dir.Path(), out), 1);
  EXPECT_EQ(out, std::string(MessageText(msg::kCom)) +
                     " (/dev/null is the null device, not a serial port)\n" +
                     std::string(MessageText(msg::kLog)) + " (" + dir.Path() + " is a folder)\n" +
                     "0001: " + std::string(MessageText(msg::kDati)) + " (the folder " + dir.File("no") +
                     " does not exist)\n" + "0001: " + std::string(MessageText(msg::kDati2)) + " (" +
                     dir.Path() + " is a folder)\n");

  EXPECT_EQ(check(pty.Path(), dir.File("vrec.log"), out), 1);
  EXPECT_EQ(out.find(MessageText(msg::kCom)), std::string::npos) << out;
  EXPECT_EQ(out.find(MessageText(msg::kLog)), std::string::npos) << out;
  // Nothing was made.
  EXPECT_FALSE(std::filesystem::exists(dir.File("vrec.log")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("storico.txt")));
}

}  // namespace
}  // namespace vr
