// A long connection, compressed: vesper-sim prints more than 50 MB without
// pause to a continuous site, and the recorder's anonymous memory must stay
// where it was after the first MiB, while every byte reaches the data files.
// A continuous site's connection lasts for months; whatever grows with the
// bytes or chunks received would grow without end there.
//
// Real processes in real time: the waits poll with generous deadlines, and
// nothing is asserted about how long anything took.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/e2e_support.h"

namespace vr::e2e {
namespace {

using namespace std::chrono_literals;

// Tens of MB through a pty take seconds; this allows for a loaded machine.
constexpr auto kSoakDeadline = 90s;

// 660000 records of 80 bytes: a little over 50 MiB (checked below, as the
// record length is the simulator's).
constexpr int kSoakRecords = 660000;
constexpr std::uint64_t kMinSentBytes = std::uint64_t{50} << 20;
constexpr std::uint64_t kFirstBytes = std::uint64_t{1} << 20;
// What the recorder may have in use beyond its state after the first MiB:
// the console's display bound (4 MiB) and what malloc keeps around it.
constexpr long kAllowedGrowthKiB = 8 * 1024;

// The process's anonymous resident memory (RssAnon) in KiB; -1 when the
// process is gone or the kernel does not tell.
long AnonymousKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
  }
  return -1;
}

// Where two long texts first differ, so that a failure does not print them.
std::string FirstDifference(const std::string& got, const std::string& want) {
  const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  const std::size_t at = static_cast<std::size_t>(g - got.begin());
  const auto excerpt = [at](const std::string& text) {
    if (at >= text.size()) return std::string("the end");
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // "literal" + std::string&&.
    std::string quoted = "\"";
    quoted += text.substr(at, 40);
    quoted += '"';
    return quoted;
  };
  return std::to_string(got.size()) + " bytes, expected " + std::to_string(want.size()) +
         "; first difference at " + std::to_string(at) + ": " + excerpt(got) + " instead of " +
         excerpt(want);
}

class SoakEndToEnd : public EndToEndTest {
 protected:
  std::string MoreDiagnostics() const override {
    return "--- sizes: sent " + std::to_string(FileSize(File("sent.txt"))) + ", dati " +
           std::to_string(FileSize(File("dati.txt"))) + ", shown " +
           std::to_string(FileSize(File("vesprec.out"))) + "\n";
  }

  // A continuous COM site without flow control. Baud 1200 with reads of 1 s
  // makes the read chunk 300 bytes: the most chunks for the bytes pushed, so
  // that whatever the recorder keeps per chunk (a display message, a wake-up
  // of the main loop, the appends to three files) adds up as over months on
  // a real line.
  void WriteSoakIni() {
    Keys site = ComSite(true);
    SetKey(site, "Baud", "1200");
    SetKey(site, "Handshake", "NONE");
    WriteIni(site);
  }
};

TEST_F(SoakEndToEnd, MemoryStaysFlatOverFiftyMegabytesOnOneConnection) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", std::to_string(kSoakRecords), "--rate",
                                    "0", "--flow", "none", "--unpaced"}));
  ASSERT_NO_FATAL_FAILURE(WriteSoakIni());
  // Standard output to a file, as a user redirects it.
  ASSERT_NO_FATAL_FAILURE(StartRecorder());
  const pid_t pid = recorder_->pid();

  // Nothing here talks to the recorder while the data flows (no `ctl`): a
  // request would wake its main loop and hide one that no longer wakes.
  ASSERT_TRUE(
      PollUntil([&] { return FileSize(File("dati.txt")) >= kFirstBytes || !recorder_->Running(); },
                kStartDeadline + kStopDeadline))
      << "the first MiB did not arrive";
  const long baselineKiB = AnonymousKiB(pid);
  ASSERT_GT(baselineKiB, 0) << "no RssAnon for vesprec";

  // Done when the data file holds every record the exchange printed: the
  // printed text, one header per line and the CR LF a connection starts
  // with. Before that the data file is shorter.
  long peakKiB = baselineKiB;
  long endKiB = baselineKiB;
  const std::uint64_t headerBytes = std::string_view(kSite).size() + 1;
  const bool complete = PollUntil(
      [&] {
        const long nowKiB = AnonymousKiB(pid);
        if (nowKiB < 0) return true;  // gone
        peakKiB = std::max(peakKiB, nowKiB);
        endKiB = nowKiB;
        return FileSize(File("dati.txt")) ==
               FileSize(File("sent.txt")) + headerBytes * kSoakRecords + 2;
      },
      kSoakDeadline);
  ASSERT_TRUE(recorder_->Running()) << "vesprec ended during the soak";
  ASSERT_TRUE(complete) << "the data file did not reach the printed text";
  const std::uint64_t sentBytes = FileSize(File("sent.txt"));
  ASSERT_GE(sentBytes, kMinSentBytes);
  RecordProperty("rss_anon_kib_first_mib", std::to_string(baselineKiB));
  RecordProperty("rss_anon_kib_peak", std::to_string(peakKiB));
  RecordProperty("rss_anon_kib_end", std::to_string(endKiB));

  EXPECT_LE(peakKiB - baselineKiB, kAllowedGrowthKiB)
      << "RssAnon after the first MiB " << baselineKiB << " KiB, highest " << peakKiB
      << " KiB, at the end " << endKiB << " KiB, for " << sentBytes << " bytes received";
  EXPECT_LE(endKiB - baselineKiB, kAllowedGrowthKiB);
  // All of it on the one connection: a reconnection would have let go of
  // whatever had grown.
  EXPECT_EQ(CountOf(Log(), kPortClosedLine), 0);

  EXPECT_EQ(Quit(), 0);

  const std::string sent = Read("sent.txt");
  EXPECT_EQ(CountOf(sent, "\r\n"), kSoakRecords);
  const std::string expected = ExpectedData(kSite, sent);
  for (const char* name : {"dati.txt", "dati2.txt", "storico.txt"}) {
    const std::string stored = Read(name);
    EXPECT_TRUE(stored == expected) << name << ": " << FirstDifference(stored, expected);
  }
  EXPECT_EQ(CountOf(Log(), kPortClosedLine), 1);
}

}  // namespace
}  // namespace vr::e2e
