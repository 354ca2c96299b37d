// A full disk, end to end: the program folder (with the overflow files) and
// the data files live on a small tmpfs, a filler file takes its last byte
// while vesper-sim goes on printing, and later the filler goes. Meanwhile the
// recorder must warn that space is short (7004) once, report the failed
// writes once for the episode rather than once per chunk, keep receiving,
// and once there is room again store every record printed meanwhile, once
// and in order. Two episodes: the second must be reported again.
//
// Mounting needs root (CAP_SYS_ADMIN); elsewhere the test is skipped.
//
// Real processes in real time: every wait polls with a generous deadline,
// and nothing is asserted about how long anything took.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/e2e_support.h"

namespace vr::e2e {
namespace {

using namespace std::chrono_literals;

// Every record must still be on its way when the second episode ends: the
// chunks held meanwhile go out with the next chunk that finds room.
constexpr int kFullDiskRecords = 800;
constexpr int kFullDiskRate = 50;
// Where, in records received, each episode begins and ends.
constexpr int kEpisodes[2][2] = {{80, 250}, {400, 550}};

// 4 MB with 1 MB as the warning threshold: well above it before the filler,
// nothing left after it.
constexpr const char* kVolumeSize = "size=4m,mode=0755";
constexpr const char* kThresholdMb = "1";

constexpr const char* kDiskSpaceText = "Lo spazio disponibile è sceso sotto la soglia di";  // 7004
// What a write that fails for want of room may be reported with.
const std::vector<std::string>& FailureTexts() {
  static const std::vector<std::string> texts = {
      "Errore durante la scrittura del file di dati",                      // 5009
      "Errore durante la scrittura del file di trabocco.",                 // 7003
      "Errore durante l'apertura dell file di trabocco.",                  // 7002
      "Il file di trabocco non è disponibile.",                            // 9002
      "Impossibile effettuare il travaso dei dati dal file di trabocco.",  // 5008
      "Errore nella creazione dei file di dati.",                          // 7007
  };
  return texts;
}
constexpr const char* kLostText = "Persi ";  // chunks dropped past the memory bound
// One report per data file set (Dati, Dati2, Storico) at most.
constexpr int kSets = 3;

class DiskFullEndToEnd : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    volume_ = File("volume");
    ASSERT_EQ(::mkdir(volume_.c_str(), 0755), 0);
    if (::mount("tmpfs", volume_.c_str(), "tmpfs", 0, kVolumeSize) != 0) {
      const int error = errno;
      GTEST_SKIP() << "cannot mount a small tmpfs for the full disk (" << std::strerror(error)
                   << "): needs root with CAP_SYS_ADMIN";
    }
    mounted_ = true;
    // The program folder is the volume; the log stays on a disk with room,
    // so that what the recorder reports can be read.
    programDir_ = volume_;
  }

  void TearDown() override {
    EndToEndTest::TearDown();
    if (mounted_ && ::umount2(volume_.c_str(), 0) != 0) ::umount2(volume_.c_str(), MNT_DETACH);
  }

  std::string OnVolume(const std::string& name) const { return volume_ + "/" + name; }

  // Takes every byte the volume has left; false when it could not.
  bool Fill() {
    const int fd = ::open(OnVolume("filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return false;
    const std::vector<char> block(1 << 20, 'F');
    for (std::size_t size = block.size(); size > 0; size /= 16) {
      while (::write(fd, block.data(), size) > 0) {
      }
    }
    ::close(fd);
    struct statvfs info {};
    return ::statvfs(volume_.c_str(), &info) == 0 && info.f_bavail == 0;
  }

  // What an episode added to the log: how often each report appears.
  struct Reports {
    int diskSpace = 0;
    std::map<std::string, int> failures;
    int failuresInAll = 0;
    int lost = 0;
  };
  static Reports Count(const std::string& logPart) {
    Reports r;
    r.diskSpace = CountOf(logPart, kDiskSpaceText);
    for (const std::string& text : FailureTexts()) {
      r.failures[text] = CountOf(logPart, text);
      r.failuresInAll += r.failures[text];
    }
    r.lost = CountOf(logPart, kLostText);
    return r;
  }

  std::string volume_;
  bool mounted_ = false;
};

TEST_F(DiskFullEndToEnd, FullDiskIsReportedOncePerEpisodeAndEveryRecordIsStoredOnceSpaceIsBack) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", std::to_string(kFullDiskRecords), "--rate",
                                    std::to_string(kFullDiskRate), "--baud", "115200"}));
  Keys site = ComSite(true);
  SetKey(site, "Dati", OnVolume("dati.txt"));
  SetKey(site, "Dati2", OnVolume("dati2.txt"));
  SetKey(site, "Storico", OnVolume("storico.txt"));
  SetKey(site, "Baud", "115200");
  SetKey(site, "STimeRead", "2");  // a chunk every 0.2 s: many chunks in an episode
  SetKey(site, "SpazioTimeout", kThresholdMb);
  ASSERT_NO_FATAL_FAILURE(WriteIni(site));
  ASSERT_NO_FATAL_FAILURE(StartRecorder());
  ASSERT_TRUE(WaitForLines(1, kStartDeadline)) << "nothing received";

  for (int episode = 0; episode < 2; ++episode) {
    SCOPED_TRACE("episode " + std::to_string(episode + 1));
    ASSERT_TRUE(WaitForLines(kEpisodes[episode][0]));
    ASSERT_EQ(CountOf(Log(), kDiskSpaceText), episode) << "warned before the disk was full";
    const std::size_t logBefore = Log().size();
    ASSERT_TRUE(Fill()) << "the volume still has room";

    // The worker goes on receiving while nothing can be written.
    ASSERT_TRUE(WaitForLines(kEpisodes[episode][1]))
        << "the recorder stopped receiving on a full disk at " << Lines() << " lines";
    // Many chunks failed meanwhile: a read of 0.2 s takes about ten records.
    auto status = Status();
    EXPECT_TRUE(status["state"] == "receiving" || status["state"] == "held") << status["state"];
    EXPECT_NE(status["warnings"].find("7004"), std::string::npos) << status["warnings"];
    const Reports during = Count(Log().substr(logBefore));
    std::cerr << "[ episode " << episode + 1 << ": 7004 " << during.diskSpace << " time(s)";
    for (const auto& [text, count] : during.failures)
      if (count > 0) std::cerr << ", \"" << text << "\" " << count;
    std::cerr << " ]\n";
    EXPECT_EQ(during.diskSpace, 1) << "7004 once in the episode";
    EXPECT_GE(during.failuresInAll, 1) << "the failed writes were not reported";
    for (const auto& [text, count] : during.failures)
      EXPECT_LE(count, kSets) << "\"" << text << "\" once per chunk rather than once";
    EXPECT_EQ(during.lost, 0) << "chunks dropped";

    // Room again: what was held goes out with the next chunks.
    ASSERT_EQ(std::remove(OnVolume("filler").c_str()), 0);
    const std::size_t logAtFree = Log().size();
    const std::uint64_t linesAtFree = Lines();
    ASSERT_TRUE(WaitForLines(linesAtFree + 20));
    const Reports after = Count(Log().substr(logAtFree));
    EXPECT_EQ(after.failuresInAll, 0) << "writes failed with room on the disk";
    EXPECT_EQ(after.diskSpace, 0);
    // The warning stays pending until acknowledged; the next episode must
    // bring it again.
    const CommandResult ack = Ctl({"ack"});
    EXPECT_EQ(ack.status, 0) << ack.err;
  }

  ASSERT_TRUE(WaitForLines(kFullDiskRecords));
  EXPECT_EQ(Quit(), 0);
  ASSERT_TRUE(sim_->Stop(5s).has_value());

  const std::string sent = Read("sent.txt");
  ASSERT_EQ(CountOf(sent, "\r\n"), kFullDiskRecords);
  const std::string expected = ExpectedData(kSite, sent);
  for (const char* name : {"dati.txt", "dati2.txt", "storico.txt"}) {
    const std::string stored = ReadFile(OnVolume(name));
    EXPECT_TRUE(stored == expected)
        << name << ": " << stored.size() << " bytes, expected " << expected.size();
  }
  for (const char* overflow : {"0001dati_D.TXT", "0001dati2_B.TXT", "0001storico_S.TXT"})
    EXPECT_EQ(ReadFile(OnVolume(overflow)), "") << overflow;
  EXPECT_EQ(CountOf(Log(), kLostText), 0);
}

}  // namespace
}  // namespace vr::e2e
