// The recorder killed (or the power cut) at every write, cut, flush and
// delete of a pour-back, a merge and a move of the rescue file, then started
// again on what was left: every parked record reaches the data file exactly
// once, in order. Only the chunk being stored at the crash may be missing
// (or cut short): it was in memory alone.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "log/strings.h"
#include "storage/data_files.h"
#include "storage/merge.h"
#include "support/recording_notifier.h"
#include "support/storage_crash_file_system.h"
#include "support/storage_test_env.h"

namespace vr {
namespace {

using test::AsBytes;
using test::Pattern;
using Crash = test::CrashingFileSystem::Crash;

const std::string kData = "/import/DATI.TXT";
const std::string kOverflow = "/vrec/S1DATI_D.TXT";

const std::string& Rescue() {
  static const std::string path = RescuePath(kOverflow);
  return path;
}

struct Machine {
  test::CrashingFileSystem files;
  test::RecordingNotifier notifier;
  ProcessFlags flags;
  ManualClock clock;
  StorageContext context{files, notifier, flags, clock};
};

const char* Name(Crash how) { return how == Crash::kKill ? "kill" : "power cut"; }

// data is `before`, then first parts of each chunk in flight, in order, then
// `after`.
::testing::AssertionResult HoldsOnce(const std::string& data, const std::string& before,
                                     const std::vector<std::string>& inFlight,
                                     const std::string& after) {
  if (data.size() < before.size() + after.size() || data.compare(0, before.size(), before) != 0)
    return ::testing::AssertionFailure()
           << "the data file (" << data.size() << " bytes) does not begin with the "
           << before.size() << " bytes stored before the crash";
  if (data.compare(data.size() - after.size(), after.size(), after) != 0)
    return ::testing::AssertionFailure()
           << "the data file does not end with the chunk stored after";
  std::string middle = data.substr(before.size(), data.size() - before.size() - after.size());
  // Each chunk in flight contributes a first part, possibly empty: try every
  // split (the chunks differ, so at most one fits).
  std::function<bool(std::size_t, std::size_t)> fits = [&](std::size_t chunk, std::size_t at) {
    if (chunk == inFlight.size()) return at == middle.size();
    const std::string& c = inFlight[chunk];
    for (std::size_t n = 0; n <= c.size() && at + n <= middle.size(); ++n) {
      if (n > 0 && middle[at + n - 1] != c[n - 1]) break;
      if (fits(chunk + 1, at + n)) return true;
    }
    return false;
  };
  if (!fits(0, 0))
    return ::testing::AssertionFailure()
           << middle.size() << " bytes between the stored records are duplicates or strangers";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult NothingLeftBehind(const test::CrashingFileSystem& files) {
  for (const std::string& path : files.Paths()) {
    if (path.ends_with(".TRAVASO"))
      return ::testing::AssertionFailure() << "intent file left: " << path;
    if ((path == kOverflow || path == Rescue()) && !files.Read(path).empty())
      return ::testing::AssertionFailure() << path << " still holds " << files.Read(path).size();
  }
  return ::testing::AssertionSuccess();
}

// What a restart does: prepare the set, store a chunk.
void StartAgainAndStore(Machine& m, const std::string& chunk) {
  m.files.ReleaseLock(kData);  // the importer is done too
  DataFileSet set;
  ASSERT_TRUE(PrepareDataFiles(m.context, kData, kOverflow, set));
  ASSERT_EQ(WriteRecords(m.context, kData, kOverflow, set, AsBytes(chunk)), 0);
}

struct Scenario {
  const char* name;
  std::function<void(test::CrashingFileSystem&)> setUp;
  std::function<void(const StorageContext&, DataFileSet&)> act;  // what the crash interrupts
  std::string before;    // what the data file holds, in the end, ahead of the chunk in flight
  std::string inFlight;  // the chunk being stored ("" for a merge)
};

const std::string kOld = "S1   20240105 101500 gia nel file dati\r\n";
const std::string kParked = Pattern(250000, 3);   // three copy blocks
const std::string kRescued = Pattern(130000, 4);  // two
const std::string kNew = Pattern(3000, 5);

std::vector<Scenario> Scenarios() {
  auto store = [](const StorageContext& c, DataFileSet& set) {
    PrepareDataFiles(c, kData, kOverflow, set);
    WriteRecords(c, kData, kOverflow, set, AsBytes(kNew));
  };
  return {
      {"pour-back before a write",
       [](auto& f) {
         f.Put(kData, kOld);
         f.Put(kOverflow, kParked);
       },
       store, kOld + kParked, kNew},
      {"merge turn",
       [](auto& f) {
         f.Put(kData, kOld);
         f.Put(kOverflow, kParked);
       },
       [](const StorageContext& c, DataFileSet& set) {
         PrepareDataFiles(c, kData, kOverflow, set);
         MergeOverflowFile(c, kOverflow, kData, set);
       },
       kOld + kParked, ""},
      {"overflow file then rescue file poured back",
       [](auto& f) {
         f.Put(kData, kOld);
         f.Put(kOverflow, kParked);
         f.Put(Rescue(), kRescued);
       },
       store, kOld + kParked + kRescued, kNew},
      {"pour-back whose cut of the overflow file fails and is undone",
       [](auto& f) {
         f.Put(kData, kOld);
         f.Put(kOverflow, kParked);
         f.FailNext(test::CrashingFileSystem::Op::kTruncate, kOverflow);
       },
       store, kOld + kParked, kNew},
      {"pour-back whose copy cannot be flushed and is undone",
       [](auto& f) {
         f.Put(kData, kOld);
         f.Put(kOverflow, kParked);
         f.FailNext(test::CrashingFileSystem::Op::kSync, kData);
       },
       store, kOld + kParked, kNew},
      {"pour-back whose intent file cannot be cleared",
       [](auto& f) {
         f.Put(kData, kOld);
         f.Put(kOverflow, kParked);
         f.FailNext(test::CrashingFileSystem::Op::kTruncate, kOverflow + ".TRAVASO");
       },
       store, kOld + kParked, kNew},
      {"rescue file moved behind the overflow file while the importer holds the data file",
       [](auto& f) {
         f.Put(kData, kOld);
         f.Put(kOverflow, kParked);
         f.Put(Rescue(), kRescued);
         f.HoldLock(kData);
       },
       store, kOld + kParked + kRescued, kNew},
  };
}

// The calls an uninterrupted run makes, checking that it works.
int CountCalls(const Scenario& s) {
  Machine m;
  s.setUp(m.files);
  DataFileSet set;
  s.act(m.context, set);
  EXPECT_FALSE(m.files.Crashed());
  return m.files.Calls();
}

// Runs crashOnce (which sets up, crashes and runs) for a kill and for a power
// cut with every choice of files written back before it, then check.
void ForEveryOutcome(const std::function<void(Machine&, Crash)>& crashOnce,
                     const std::function<void(Machine&)>& check) {
  for (Crash how : {Crash::kKill, Crash::kPowerCut}) {
    unsigned outcomes = 1;
    for (unsigned writtenBack = 0; writtenBack < outcomes; ++writtenBack) {
      SCOPED_TRACE(std::string(Name(how)) + ", files written back: " + std::to_string(writtenBack));
      Machine m;
      crashOnce(m, how);
      ASSERT_TRUE(m.files.Crashed());
      if (how == Crash::kPowerCut) outcomes = 1u << m.files.PowerCutChoices();
      m.files.Restart(writtenBack);
      check(m);
    }
  }
}

TEST(CrashRecovery, EveryCrashPointStoresEachRecordOnce) {
  const std::string after = "S1   20240105 101700 dopo il riavvio\r\n";
  for (const Scenario& s : Scenarios()) {
    const int total = CountCalls(s);
    ASSERT_GE(total, 12) << s.name;  // the move's writes, cuts and flushes are all there
    for (int n = 1; n <= total; ++n) {
      SCOPED_TRACE(std::string(s.name) + ": crash at call " + std::to_string(n) + " of " +
                   std::to_string(total));
      ForEveryOutcome(
          [&](Machine& m, Crash how) {
            s.setUp(m.files);
            m.files.CrashAt(n, how);
            DataFileSet set;
            s.act(m.context, set);
          },
          [&](Machine& m) {
            StartAgainAndStore(m, after);
            EXPECT_TRUE(HoldsOnce(m.files.Read(kData), s.before, {s.inFlight}, after));
            EXPECT_TRUE(NothingLeftBehind(m.files));
          });
    }
  }
}

// The restart itself is killed at each of its own calls, and the recorder
// starts a third time.
TEST(CrashRecovery, ACrashDuringTheRecoveryIsRecoveredToo) {
  const std::string second = "S1   20240105 101700 secondo avvio\r\n";
  const std::string third = "S1   20240105 101800 terzo avvio\r\n";
  for (const Scenario& s : Scenarios()) {
    const int total = CountCalls(s);
    for (int n = 1; n <= total; ++n) {
      auto crashOnce = [&](Machine& m) {
        s.setUp(m.files);
        m.files.CrashAt(n);
        DataFileSet set;
        s.act(m.context, set);
        m.files.Restart();
        m.files.ReleaseLock(kData);
      };
      int recoveryCalls = 0;
      {
        Machine m;
        crashOnce(m);
        const int before = m.files.Calls();
        DataFileSet set;
        PrepareDataFiles(m.context, kData, kOverflow, set);
        WriteRecords(m.context, kData, kOverflow, set, AsBytes(second));
        recoveryCalls = m.files.Calls() - before;
      }
      for (int r = 1; r <= recoveryCalls; ++r) {
        SCOPED_TRACE(std::string(s.name) + ": crash at call " + std::to_string(n) +
                     ", again at call " + std::to_string(r) + " of the restart");
        Machine m;
        crashOnce(m);
        m.files.CrashAt(r);
        {
          DataFileSet set;
          PrepareDataFiles(m.context, kData, kOverflow, set);
          WriteRecords(m.context, kData, kOverflow, set, AsBytes(second));
        }
        ASSERT_TRUE(m.files.Crashed());
        m.files.Restart();
        StartAgainAndStore(m, third);
        EXPECT_TRUE(HoldsOnce(m.files.Read(kData), s.before, {s.inFlight, second}, third));
        EXPECT_TRUE(NothingLeftBehind(m.files));
      }
    }
  }
}

// With Sincronizza a chunk is on the disk when WriteRecords returns: a power
// cut at any later point loses none of the chunks stored before it, through
// busy spells, pour-backs and merges.
TEST(CrashRecovery, WithSyncNoAcknowledgedChunkIsLostAtAnyCrash) {
  struct SyncStep {
    bool importerHolds;
    bool merge;  // a merge turn instead of a chunk
  };
  const std::vector<SyncStep> steps = {{false, false}, {true, false}, {true, false}, {false, false},
                                   {true, false},  {false, true}, {false, false}};
  const WriteOptions sync{true, {}};
  auto chunkOf = [](std::size_t i) { return Pattern(90000, static_cast<unsigned>(10 + i)); };
  // Runs the steps until the crash; returns the chunks acknowledged and the
  // one in flight.
  auto run = [&](Machine& m, std::string& acknowledged, std::string& inFlight) {
    DataFileSet set;
    PrepareDataFiles(m.context, kData, kOverflow, set);
    for (std::size_t i = 0; i < steps.size() && !m.files.Crashed(); ++i) {
      if (steps[i].importerHolds)
        m.files.HoldLock(kData);
      else
        m.files.ReleaseLock(kData);
      if (steps[i].merge) {
        MergeOverflowFile(m.context, kOverflow, kData, set);
        continue;
      }
      const std::string chunk = chunkOf(i);
      const int result = WriteRecords(m.context, kData, kOverflow, set, AsBytes(chunk), sync);
      if (m.files.Crashed()) {
        inFlight = chunk;
      } else {
        ASSERT_NE(result, msg::kOverflowUnavailable);
        acknowledged += chunk;
      }
    }
  };
  int total = 0;
  {
    Machine m;
    std::string acknowledged, inFlight;
    run(m, acknowledged, inFlight);
    total = m.files.Calls();
    ASSERT_EQ(m.files.Read(kData).size(), 6 * 90000u);
  }
  const std::string after = "dopo";
  for (int n = 1; n <= total; ++n) {
    SCOPED_TRACE("crash at call " + std::to_string(n) + " of " + std::to_string(total));
    std::string acknowledged, inFlight;
    ForEveryOutcome(
        [&](Machine& m, Crash how) {
          m.files.CrashAt(n, how);
          acknowledged.clear();
          inFlight.clear();
          run(m, acknowledged, inFlight);
        },
        [&](Machine& m) {
          m.files.ReleaseLock(kData);
          DataFileSet set;
          ASSERT_TRUE(PrepareDataFiles(m.context, kData, kOverflow, set));
          ASSERT_EQ(WriteRecords(m.context, kData, kOverflow, set, AsBytes(after), sync), 0);
          EXPECT_TRUE(HoldsOnce(m.files.Read(kData), acknowledged, {inFlight}, after));
          EXPECT_TRUE(NothingLeftBehind(m.files));
        });
  }
}

}  // namespace
}  // namespace vr
