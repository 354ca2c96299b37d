// The kill -9 harness: vesprec is killed with SIGKILL at random moments (in
// the middle of reception, while the importer holds the data file, while a
// large overflow file is being poured back) and started again on the same
// folder while vesper-sim goes on printing. At the end what the importer
// took plus what is left in the data file is compared, record by record,
// with what the exchange printed.
//
// vesper-sim runs with --lost: its pty loses what nobody reads, as a serial
// port does, and it logs exactly which bytes no reader took. A record may
// then be missing only because the line lost it while no recorder ran, or
// because the recorder that read it was killed before it could store it
// (the tail of what that recorder took, at most one read chunk). Nothing may
// be stored twice.
//
// Short form in the test command; the long form is scripts/kill-harness.sh,
// which sets VR_KILL_COUNT. VR_KILL_SEED repeats a run.
//
// Real processes in real time: every wait polls with a generous deadline,
// and nothing is asserted about how long anything took.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/e2e_support.h"

namespace vr::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kNoticeDeadline = 10s;    // the simulator has seen the reader go
constexpr auto kDrainDeadline = 120s;    // an overflow file has been poured back
constexpr auto kPourBackDeadline = 20s;  // a pour-back has begun after the importer let go
constexpr int kDefaultKills = 6;
// Records of one burst: a few MB in the overflow file, so that pouring it
// back lasts long enough to be caught in the middle.
constexpr int kBurstRecords = 50000;
constexpr const char* kOverflowName = "0001dati_D.TXT";  // site code + data file stem

// --- What vesper-sim's --lost file says ---

struct Range {
  std::uint64_t from = 0;
  std::uint64_t to = 0;
};

struct LineLog {
  std::vector<std::uint64_t> gone;  // a reader closed the line; it took all before
  std::vector<std::uint64_t> back;  // a reader opened it; the first byte it got
  std::vector<Range> lost;          // bytes no reader took
  std::vector<Range> unsure;
  std::optional<std::uint64_t> end;
};

LineLog ParseLineLog(const std::string& text) {
  LineLog log;
  std::istringstream in(text);
  std::string word;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    fields >> word;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (word == "gone" && fields >> a) log.gone.push_back(a);
    if (word == "back" && fields >> a) log.back.push_back(a);
    if (word == "lost" && fields >> a >> b) log.lost.push_back({a, b});
    if (word == "unsure" && fields >> a >> b) log.unsure.push_back({a, b});
    if (word == "end" && fields >> a) log.end = a;
  }
  return log;
}

// --- The comparison ---

// What a data file holds, compared with what the exchange printed.
struct Tally {
  int records = 0;   // complete records the exchange printed
  int stored = 0;    // stored whole, once
  int missing = 0;   // a part or all never stored
  int lineLost = 0;  // ...of which the line lost a part
  int inFlight = 0;  // ...of which a killed recorder had read all it lacks
  int repeated = 0;  // a part or all stored more than once
  std::vector<std::string> problems;
};

// Compares `stored` (the data file's lines, header `header` on each) with
// `sent`, the exchange's text (records ending in CR LF). Bytes the line log
// names lost may be missing; so may bytes a recorder took just before it was
// killed: handed over (not lost) and unstored, ending at a `killedAt` offset,
// at most `inFlightBound` of them.
Tally Compare(std::string_view sent, const LineLog& log, std::string_view stored,
              std::string_view header, const std::set<std::uint64_t>& killedAt,
              std::uint64_t inFlightBound) {
  Tally tally;
  struct Record {
    std::uint64_t begin;
    std::uint64_t size;  // the text, without its line end
    bool complete;
  };
  std::vector<Record> records;
  std::unordered_map<std::string_view, std::uint64_t> byText;
  for (std::size_t at = 0; at < sent.size();) {
    const std::size_t end = sent.find("\r\n", at);
    const bool complete = end != std::string_view::npos;
    const std::size_t textEnd = complete ? end : sent.size();
    records.push_back({at, textEnd - at, complete});
    if (complete) byText.emplace(sent.substr(at, textEnd - at), at);
    at = complete ? end + 2 : sent.size();
  }

  // Each stored line is a stretch of the sent text: where the last one
  // ended, or (after a gap or a repeat) where its text is found.
  std::vector<Range> segments;
  std::uint64_t pos = 0;
  int strays = 0;
  for (std::size_t at = 0; at < stored.size();) {
    std::size_t end = stored.find("\r\n", at);
    if (end == std::string_view::npos) end = stored.size();
    const std::string_view line = stored.substr(at, end - at);
    at = end + 2;
    if (line.empty()) continue;  // where a connection began
    if (line.substr(0, header.size()) != header) {
      if (++strays <= 3) tally.problems.push_back("a line without header: " + std::string(line));
      continue;
    }
    const std::string_view text = line.substr(header.size());
    if (text.empty()) continue;
    std::optional<std::uint64_t> start;
    if (sent.substr(pos, text.size()) == text) {
      start = pos;
    } else if (const auto hit = byText.find(text); hit != byText.end()) {
      start = hit->second;
    } else {
      // A piece of a record: it begins where a new reader took over, or it
      // is found after (else before) the present position.
      for (const std::uint64_t b : log.back)
        if (b >= pos && b <= sent.size() && sent.substr(b, text.size()) == text &&
            (!start || b < *start))
          start = b;
      if (!start) {
        std::size_t found = sent.find(text, pos);
        if (found == std::string_view::npos) found = sent.find(text);
        if (found != std::string_view::npos) start = found;
      }
    }
    if (!start) {
      if (++strays <= 3)
        tally.problems.push_back("a line the exchange never printed: " +
                                 std::string(line.substr(0, 200)));
      continue;
    }
    std::uint64_t stop = *start + text.size();
    if (sent.substr(stop, 2) == "\r\n") stop += 2;
    segments.push_back({*start, stop});
    pos = stop;
  }
  if (strays > 3) tally.problems.push_back(std::to_string(strays) + " stray lines in all");

  // How many times each byte was stored, as runs of equal coverage.
  std::vector<std::pair<std::uint64_t, int>> edges;
  for (const Range& s : segments) {
    edges.emplace_back(s.from, +1);
    edges.emplace_back(s.to, -1);
  }
  edges.emplace_back(0, 0);
  edges.emplace_back(sent.size(), 0);
  std::sort(edges.begin(), edges.end());
  struct Run {
    std::uint64_t from;
    std::uint64_t to;
    int count;
  };
  std::vector<Run> runs;
  int depth = 0;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    depth += edges[i].second;
    const std::uint64_t next = i + 1 < edges.size() ? edges[i + 1].first : edges[i].first;
    if (next > edges[i].first && edges[i].first < sent.size())
      runs.push_back({edges[i].first, std::min<std::uint64_t>(next, sent.size()), depth});
  }

  const auto lostOverlaps = [&](std::uint64_t from, std::uint64_t to) {
    return std::any_of(log.lost.begin(), log.lost.end(),
                       [&](const Range& r) { return r.from < to && from < r.to; });
  };

  // Every byte never stored and never lost must be the tail of what a
  // killed recorder took.
  for (const Run& run : runs) {
    if (run.count != 0) continue;
    std::vector<Range> pieces{{run.from, run.to}};
    for (const Range& lost : log.lost) {
      std::vector<Range> rest;
      for (const Range& p : pieces) {
        if (lost.to <= p.from || p.to <= lost.from) {
          rest.push_back(p);
          continue;
        }
        if (p.from < lost.from) rest.push_back({p.from, lost.from});
        if (lost.to < p.to) rest.push_back({lost.to, p.to});
      }
      pieces = rest;
    }
    for (const Range& p : pieces) {
      // A line end alone at a connection's start is absorbed by the line
      // end that every connection's data begins with.
      if (sent.substr(p.from, p.to - p.from).find_first_not_of("\r\n") == std::string_view::npos)
        continue;
      const bool atAKill = killedAt.count(p.to) != 0;
      if (atAKill && p.to - p.from <= inFlightBound) continue;
      std::ostringstream text;
      text << "bytes " << p.from << ".." << p.to << " (" << p.to - p.from
           << ") reached a recorder and were never stored"
           << (atAKill ? ": more than one read chunk at a kill" : ", and no kill explains it");
      tally.problems.push_back(text.str());
    }
  }

  // Record by record.
  std::size_t r = 0;
  for (const Record& record : records) {
    if (!record.complete) continue;  // still being printed at the end
    ++tally.records;
    const std::uint64_t from = record.begin;
    const std::uint64_t to = record.begin + record.size;
    while (r < runs.size() && runs[r].to <= from) ++r;
    int least = INT32_MAX;
    int most = 0;
    for (std::size_t i = r; i < runs.size() && runs[i].from < to; ++i) {
      least = std::min(least, runs[i].count);
      most = std::max(most, runs[i].count);
    }
    if (most > 1) ++tally.repeated;
    if (least == 0) {
      ++tally.missing;
      if (lostOverlaps(from, to))
        ++tally.lineLost;
      else
        ++tally.inFlight;
    } else if (most == 1) {
      ++tally.stored;
    }
  }
  return tally;
}

std::string Describe(const Tally& t) {
  std::ostringstream text;
  text << "records sent " << t.records << ", stored " << t.stored << ", missing " << t.missing
       << " (lost by the line while no recorder ran " << t.lineLost
       << ", read by a recorder killed before it stored them " << t.inFlight << "), repeated "
       << t.repeated;
  return text.str();
}

// The text of record `number` (from 1) of the exchange's text; empty when
// there is no such record.
std::string RecordText(const std::string& sent, int number) {
  std::size_t at = 0;
  for (int i = 1; i < number && at != std::string::npos; ++i) {
    at = sent.find("\r\n", at);
    if (at != std::string::npos) at += 2;
  }
  if (at == std::string::npos || at >= sent.size()) return {};
  const std::size_t end = sent.find("\r\n", at);
  return end == std::string::npos ? std::string() : sent.substr(at, end - at);
}

// The importer as the accounting program runs it: it locks the data file,
// reads it, empties it and lets it go, keeping what it took in order.
class Importer {
 public:
  explicit Importer(std::string path) : path_(std::move(path)) {}
  ~Importer() {
    if (fd_ >= 0) close(fd_);
  }
  bool Holding() const { return fd_ >= 0; }
  bool Lock() {
    fd_ = open(path_.c_str(), O_RDWR);
    if (fd_ < 0) return false;
    int r;
    do {
      r = flock(fd_, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    return r == 0;
  }
  bool TakeAndUnlock() {
    bool ok = fd_ >= 0;
    if (ok) {
      taken_ += ReadFile(path_);
      ok = ftruncate(fd_, 0) == 0;
      flock(fd_, LOCK_UN);
      close(fd_);
      fd_ = -1;
    }
    return ok;
  }
  bool Take() { return Lock() && TakeAndUnlock(); }
  const std::string& Taken() const { return taken_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::string taken_;
};

std::uint64_t EnvNumber(const char* name, std::uint64_t otherwise) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return otherwise;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0' ? value : otherwise;
}

class KillHarness : public EndToEndTest {
 protected:
  std::string MoreDiagnostics() const override {
    return "--- line log\n" + Tail(Read("lost.txt"), 2000);
  }

  bool WaitForReception() {
    return PollUntil(
               [&] {
                 if (!recorder_->Running()) return true;
                 const std::string state = Status()["state"];
                 return state == "receiving" || state == "held";
               },
               kStartDeadline) &&
           recorder_->Running();
  }

  // Each recorder started has output files of its own.
  void StartNextRecorder() { StartRecorder("vesprec-" + std::to_string(starts_++)); }

  LineLog Line() const { return ParseLineLog(Read("lost.txt")); }

  // Waits until the simulator has seen the reader close the line (its
  // `gone` count passed `before`); the offset of the last gone.
  std::optional<std::uint64_t> WaitForGone(std::size_t before) {
    std::optional<std::uint64_t> at;
    PollUntil(
        [&] {
          const LineLog log = Line();
          if (log.gone.size() <= before) return false;
          at = log.gone.back();
          return true;
        },
        kNoticeDeadline);
    return at;
  }

  // SIGKILL, then a new recorder on the same folder, receiving again;
  // `dead` looks at what the killed one left before that.
  void KillAndRestart(const std::function<void()>& dead = {}) {
    const std::size_t goneBefore = Line().gone.size();
    ASSERT_TRUE(recorder_->Signal(SIGKILL)) << "vesprec was not running at kill " << kills_ + 1;
    ASSERT_EQ(recorder_->WaitForExit(kStopDeadline), std::optional<int>(128 + SIGKILL));
    ++kills_;
    if (dead) dead();
    const std::optional<std::uint64_t> gone = WaitForGone(goneBefore);
    ASSERT_TRUE(gone.has_value()) << "vesper-sim did not see the killed recorder's line close";
    killedAt_.insert(*gone);
    ASSERT_NO_FATAL_FAILURE(StartNextRecorder());
    ASSERT_TRUE(WaitForReception()) << "the recorder did not receive again after kill " << kills_;
  }

  std::string Overflow() const { return File(kOverflowName); }

  int starts_ = 0;
  int kills_ = 0;
  std::set<std::uint64_t> killedAt_;
};

// --- The instrument ---

// The comparison finds a record stored twice and a hole that no kill
// explains, and accepts the losses the line log and the kills account for.
TEST_F(KillHarness, ComparisonFindsRepeatsAndUnexplainedHoles) {
  std::string sent;
  for (int i = 0; i < 10; ++i) sent += "RECORD " + std::to_string(100 + i) + " EXT 22\r\n";
  const std::uint64_t recordBytes = sent.size() / 10;
  const auto stretch = [&](int first, int count) {
    std::string text;
    for (int i = first; i < first + count; ++i)
      text += "0001 " + sent.substr(i * recordBytes, recordBytes);
    return text;
  };
  // Records 0-2 stored; 3-4 taken by a recorder killed at the start of 5;
  // 5-6 lost by the line; 7-9 stored by the next recorder.
  LineLog log;
  log.gone = {5 * recordBytes};
  log.back = {7 * recordBytes};
  log.lost = {{5 * recordBytes, 7 * recordBytes}};
  const std::string good = "\r\n" + stretch(0, 3) + "\r\n" + stretch(7, 3);
  const std::set<std::uint64_t> kills = {5 * recordBytes};

  const Tally ok = Compare(sent, log, good, "0001 ", kills, 2 * recordBytes);
  EXPECT_TRUE(ok.problems.empty()) << ok.problems.front();
  EXPECT_EQ(ok.records, 10);
  EXPECT_EQ(ok.stored, 6);
  EXPECT_EQ(ok.missing, 4);
  EXPECT_EQ(ok.lineLost, 2);
  EXPECT_EQ(ok.inFlight, 2);
  EXPECT_EQ(ok.repeated, 0);

  // More in flight than one read chunk may hold.
  EXPECT_FALSE(Compare(sent, log, good, "0001 ", kills, recordBytes).problems.empty());
  // The same hole without the kill.
  EXPECT_FALSE(Compare(sent, log, good, "0001 ", {}, 2 * recordBytes).problems.empty());

  // A pour-back done twice: records 1-2 again after record 2.
  const std::string twice = "\r\n" + stretch(0, 3) + stretch(1, 2) + "\r\n" + stretch(7, 3);
  const Tally repeated = Compare(sent, log, twice, "0001 ", kills, 2 * recordBytes);
  EXPECT_EQ(repeated.repeated, 2);
  EXPECT_EQ(repeated.stored, 4);

  // A record cut by a kill: its beginning before, its end after, nothing
  // lost between (the exchange was held): stored once.
  LineLog held;
  held.gone = {3 * recordBytes + 7};
  held.back = {3 * recordBytes + 7};
  const std::string piece = sent.substr(3 * recordBytes, 7);
  const std::string cut = "\r\n" + stretch(0, 3) + "0001 " + piece + "\r\n0001 " +
                          sent.substr(3 * recordBytes + 7, recordBytes - 7) + stretch(4, 6);
  const Tally whole = Compare(sent, held, cut, "0001 ", {3 * recordBytes + 7}, recordBytes);
  EXPECT_TRUE(whole.problems.empty()) << whole.problems.front();
  EXPECT_EQ(whole.stored, 10);

  // The end of record 3's text lost with the line, its line end handed to
  // the next recorder, whose connection's own line end takes its place.
  LineLog cutLoss;
  cutLoss.gone = {3 * recordBytes + 7};
  cutLoss.lost = {{3 * recordBytes + 7, 4 * recordBytes - 2}};
  cutLoss.back = {4 * recordBytes - 2};
  const std::string absorbed = "\r\n" + stretch(0, 3) + "0001 " + piece + "\r\n" + stretch(4, 6);
  const Tally lostEnd = Compare(sent, cutLoss, absorbed, "0001 ", {3 * recordBytes + 7}, 0);
  EXPECT_TRUE(lostEnd.problems.empty()) << lostEnd.problems.front();
  EXPECT_EQ(lostEnd.stored, 9);
  EXPECT_EQ(lostEnd.lineLost, 1);

  // A line the exchange never printed.
  EXPECT_FALSE(Compare(sent, log, good + "0001 NOT A RECORD\r\n", "0001 ", kills, 2 * recordBytes)
                   .problems.empty());
}

// vesper-sim --lost: what a reader read across several openings of the line
// is exactly the printed text without the ranges the log names lost, and a
// burst prints its records whole.
TEST_F(KillHarness, SimulatorAccountsForEveryByteAcrossReaders) {
  ASSERT_NO_FATAL_FAILURE(StartSim({"exchange", "--records", "0", "--rate", "0", "--baud", "115200",
                                    "--lost", File("lost.txt"), "--burst", "3000"}));
  std::string got;
  // One reader's session: reads for a while, then leaves, with the exchange
  // held (XOFF) or running, and maybe something left unread.
  const auto session = [&](std::chrono::milliseconds length, bool holdFirst, bool leaveUnread,
                           const std::function<bool()>& until = {}) {
    const int fd = open(pty_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << pty_;
    ASSERT_EQ(write(fd, "\x11", 1), 1);  // XON: a held exchange goes on
    const auto end = std::chrono::steady_clock::now() + length;
    char buffer[65536];
    while (std::chrono::steady_clock::now() < end || (until && !until())) {
      if (std::chrono::steady_clock::now() > end + 20s) break;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
      std::this_thread::sleep_for(5ms);
    }
    if (holdFirst) {
      ASSERT_EQ(write(fd, "\x13", 1), 1);  // XOFF
      std::this_thread::sleep_for(100ms);
    }
    if (!leaveUnread) {
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0) got.append(buffer, n);
    }
    const std::size_t goneBefore = Line().gone.size();
    close(fd);
    ASSERT_TRUE(WaitForGone(goneBefore).has_value());
  };
  ASSERT_NO_FATAL_FAILURE(session(400ms, false, false));
  std::this_thread::sleep_for(300ms);
  ASSERT_NO_FATAL_FAILURE(session(300ms, true, false));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(sim_->Signal(SIGUSR1));
  ASSERT_NO_FATAL_FAILURE(session(400ms, false, true));
  // Read until the burst is out (an unpaced burst waits for a reader).
  ASSERT_NO_FATAL_FAILURE(
      session(1000ms, false, false, [&] { return CountOf(Read("sim.err"), "burst done") == 1; }));
  EXPECT_EQ(CountOf(Read("sim.err"), "burst done"), 1);
  ASSERT_TRUE(sim_->Stop(5s).has_value());

  const std::string sent = Read("sent.txt");
  const LineLog log = Line();
  ASSERT_TRUE(log.end.has_value()) << "no end line";
  EXPECT_EQ(*log.end, sent.size());
  EXPECT_TRUE(log.unsure.empty());
  EXPECT_EQ(log.gone.size(), 4u);
  EXPECT_EQ(log.back.size(), 4u);
  std::string handed;
  std::uint64_t at = 0;
  std::uint64_t lostBytes = 0;
  for (const Range& lost : log.lost) {
    ASSERT_LE(at, lost.from);
    ASSERT_LT(lost.from, lost.to);
    handed += sent.substr(at, lost.from - at);
    lostBytes += lost.to - lost.from;
    at = lost.to;
  }
  handed += sent.substr(std::min<std::uint64_t>(at, sent.size()));
  EXPECT_GT(lostBytes, 0u) << "nothing was lost while nobody read";
  EXPECT_TRUE(handed == got) << "read " << got.size() << " bytes, the log accounts for "
                             << handed.size() << " of " << sent.size();
  // The burst's 3000 records all went out, and the exchange went on after.
  EXPECT_GT(CountOf(sent, "\r\n"), 3000);
}

// --- The harness ---

TEST_F(KillHarness, SigkillAtRandomMomentsStoresNothingTwiceAndLosesOnlyWhatItMust) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root: the pty keeps the exclusive use a killed recorder set, "
                    "and only root may open it again";
  const std::uint64_t seed = EnvNumber("VR_KILL_SEED", std::random_device{}());
  const int kills = static_cast<int>(EnvNumber("VR_KILL_COUNT", kDefaultKills));
  std::cerr << "[ kill harness: seed " << seed << " (VR_KILL_SEED), " << kills
            << " kills (VR_KILL_COUNT) ]\n";
  RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 random(seed);
  const auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };

  ASSERT_NO_FATAL_FAILURE(
      StartSim({"exchange", "--records", "0", "--rate", "0", "--baud", "115200", "--lost",
                File("lost.txt"), "--burst", std::to_string(kBurstRecords)}));
  // Reads of 0.2 s at 115200 baud; a small FileTimeout, so that the busy
  // data file's warning comes up during the importer's holds.
  constexpr std::uint64_t kBaud = 115200;
  constexpr std::uint64_t kReadTimeoutMs = 200;
  Keys site = ComSite(true);
  SetKey(site, "Baud", std::to_string(kBaud));
  SetKey(site, "STimeRead", std::to_string(kReadTimeoutMs / 100));
  SetKey(site, "FileTimeout", "1");
  ASSERT_NO_FATAL_FAILURE(WriteIni(site));
  // The most one read takes from the line before the chunk is stored (the
  // recorder's read chunk): the whole seconds of its time-out and one more,
  // at the line's speed.
  const std::uint64_t readChunkBytes = (kReadTimeoutMs / 1000 + 1) * kBaud / 8;

  ASSERT_NO_FATAL_FAILURE(StartNextRecorder());
  ASSERT_TRUE(WaitForReception());
  ASSERT_TRUE(PollUntil([&] { return FileSize(File("dati.txt")) > 0; }, kStartDeadline));
  Importer importer(File("dati.txt"));

  enum Moment { kReception, kImporterLock, kPourBack };
  std::vector<Moment> moments;
  for (int k = 0; k < kills; ++k) moments.push_back(static_cast<Moment>(k % 3));
  std::shuffle(moments.begin(), moments.end(), random);
  int inReception = 0;
  int inLock = 0;
  int pourBacks = 0;
  int insidePourBack = 0;
  std::uint64_t largestPourBack = 0;
  int bursts = 0;

  for (const Moment moment : moments) {
    SCOPED_TRACE("kill " + std::to_string(kills_ + 1));
    if (moment == kReception) {
      ++inReception;
      if (between(0, 1) == 1) {
        ASSERT_TRUE(importer.Take());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(between(100, 1500)));
      ASSERT_NO_FATAL_FAILURE(KillAndRestart());
    } else if (moment == kImporterLock) {
      ++inLock;
      ASSERT_TRUE(importer.Lock());
      std::this_thread::sleep_for(std::chrono::milliseconds(between(300, 1500)));
      ASSERT_NO_FATAL_FAILURE(KillAndRestart());
      std::this_thread::sleep_for(std::chrono::milliseconds(between(200, 1000)));
      ASSERT_TRUE(importer.TakeAndUnlock());
    } else {
      ++pourBacks;
      // The importer holds the data file while the exchange bursts: the
      // records pile up in the overflow file.
      ASSERT_TRUE(importer.Lock());
      ASSERT_TRUE(sim_->Signal(SIGUSR1));
      ++bursts;
      ASSERT_TRUE(PollUntil([&] { return CountOf(Read("sim.err"), "burst done") >= bursts; },
                            kDrainDeadline))
          << "the burst did not end";
      // Until the recorder has parked the burst's last record too.
      const std::string err = Read("sim.err");
      const std::size_t doneAt = err.rfind("burst done at record ");
      ASSERT_NE(doneAt, std::string::npos);
      const int lastRecord = std::atoi(err.c_str() + doneAt + 21);
      const std::string last = RecordText(Read("sent.txt"), lastRecord);
      ASSERT_FALSE(last.empty()) << "no record " << lastRecord << " in sent.txt";
      ASSERT_TRUE(PollUntil([&] { return Read(kOverflowName).find(last) != std::string::npos; },
                            kDrainDeadline))
          << "the burst did not reach the overflow file";
      const std::uint64_t parked = FileSize(Overflow());
      largestPourBack = std::max(largestPourBack, parked);
      // Let go, and kill at the first sign that the pour-back is under way:
      // the emptied data file grows while the overflow file still holds data.
      ASSERT_TRUE(importer.TakeAndUnlock());
      const int lateness = between(0, 3);
      int seen = 0;
      const auto deadline = std::chrono::steady_clock::now() + kPourBackDeadline;
      while (std::chrono::steady_clock::now() < deadline) {
        if (FileSize(Overflow()) == 0) break;  // done before we saw it
        if (FileSize(File("dati.txt")) > 0 && ++seen > lateness) break;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
      // Inside it when the overflow file had not been emptied yet.
      ASSERT_NO_FATAL_FAILURE(KillAndRestart([&] {
        if (FileSize(Overflow()) > 0 && FileSize(File("dati.txt")) > 0) ++insidePourBack;
      }));
    }
  }

  // The end: the importer lets go, the recorder pours back what waits and
  // stops in order, the exchange stops.
  if (importer.Holding()) {
    ASSERT_TRUE(importer.TakeAndUnlock());
  }
  EXPECT_TRUE(PollUntil([&] { return FileSize(Overflow()) == 0; }, kDrainDeadline))
      << "the overflow file was not poured back";
  const std::size_t goneBefore = Line().gone.size();
  EXPECT_EQ(Quit(), 0);
  EXPECT_TRUE(WaitForGone(goneBefore).has_value());
  ASSERT_TRUE(sim_->Stop(10s).has_value());

  const std::string sent = Read("sent.txt");
  const LineLog log = Line();
  ASSERT_TRUE(log.end.has_value()) << "vesper-sim did not close its line log";
  ASSERT_EQ(*log.end, sent.size());
  ASSERT_TRUE(log.unsure.empty()) << "vesper-sim could not tell where some bytes went";
  const std::string stored = importer.Taken() + Read("dati.txt");
  const Tally main = Compare(sent, log, stored, "0001 ", killedAt_, readChunkBytes);

  std::ostringstream moments_text;
  moments_text << "kills " << kills_ << " (in reception " << inReception
               << ", in the importer's lock " << inLock << ", at a pour-back " << pourBacks
               << " of which " << insidePourBack << " inside it, largest overflow "
               << largestPourBack << " bytes)";
  std::cerr << "[ kill harness: seed " << seed << ", " << moments_text.str() << ", "
            << Describe(main) << " ]\n";
  RecordProperty("result", moments_text.str() + ", " + Describe(main));

  EXPECT_EQ(kills_, kills);
  EXPECT_EQ(main.repeated, 0) << "records stored twice in the data file";
  for (const std::string& problem : main.problems) ADD_FAILURE() << "dati: " << problem;
  EXPECT_GT(main.stored, 0);
  // The second data file and the history hold the same records, never
  // locked: nothing twice there either, and nothing missing that the line
  // and the kills do not explain.
  for (const char* name : {"dati2.txt", "storico.txt"}) {
    const Tally other = Compare(sent, log, Read(name), "0001 ", killedAt_, readChunkBytes);
    std::cerr << "[ " << name << ": " << Describe(other) << " ]\n";
    EXPECT_EQ(other.repeated, 0) << name;
    for (const std::string& problem : other.problems) ADD_FAILURE() << name << ": " << problem;
  }
  EXPECT_EQ(FileSize(Overflow()), 0u);
}

}  // namespace
}  // namespace vr::e2e
