#pragma once
// The site worker: the one thread that talks to the exchange. It waits until
// a site is due, runs one connection for it with the device its settings
// name, ends the connection and waits again, until it is told to close.
//
// A serial connection keeps one read pending on the line; each completed
// read is one reception step (hold the exchange, process the chunk, store
// it, show it, release the exchange, read again); an empty read drives the
// idle logic (end of a scheduled import, restart of a silent box, the XON
// nudge). Requests from the main thread arrive through the mailbox and are
// taken whenever the worker pumps its messages.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "acquisition/attentive_line.h"
#include "acquisition/flow_control.h"
#include "acquisition/line_buffers.h"
#include "acquisition/line_processing.h"
#include "acquisition/refusal_episode.h"
#include "acquisition/worker_mailbox.h"
#include "base/clock.h"
#include "base/flags.h"
#include "base/notifier.h"
#include "config/profile.h"
#include "config/settings.h"
#include "devices/call_log.h"
#include "devices/devlink_library.h"
#include "line/open_line.h"
#include "storage/data_file_set.h"

namespace vr {

struct WorkerEnvironment {
  SiteList& sites;  // rebuilt in place by reloadConfiguration
  SitesMenu& menu;
  Profile& profile;        // VESPREC.INI
  std::string programDir;  // where the overflow files lie
  std::string portName;    // Com
  std::string siteCode;    // /Sito=: serve this site alone; empty: follow the schedule
  bool slave = false;      // /Slave
  ProcessFlags& flags;
  Notifier& notifier;
  IconDisplay& display;
  const Clock& clock;
  WorkerMailbox& mailbox;  // requests from the main thread, with their wake signal
  FileSystem& files;
  LineOpener openLine = OpenSystemLine;
  // Reads the configuration again (problems go to the main window).
  std::function<void()> reloadConfiguration;
  StatusBoard* status = nullptr;  // optional: what `status` shows
  // The wait event that other programs raise to wake the idle worker; kept
  // apart from the mailbox's signal, so that a raised wait event can only
  // shorten an idle wait and never makes a connection's waits return at once.
  WakeSignal* waitEvent = nullptr;
  // The call-log library of AVAYA sites, loaded when a run first needs it.
  std::function<DevLinkLibrary()> loadDevLink = {};
  // A box without owner window, shown from the worker's thread: the
  // library's loading problems, which do not go through the main window.
  std::function<void(const std::string&)> showOwnerlessBox = {};
  // The receive buffer's largest capacity (tests make growth fail with it).
  std::size_t maxBufferBytes = LineBuffers::kNoCapacityLimit;
};

// The worker's reception variables, one set per process.
struct ReceptionState {
  std::size_t count = 0;          // bytes of the current chunk
  std::size_t previousCount = 1;  // of the previous non-empty chunk
  bool lastCheckFailed = false;   // the block receiver rejected the previous chunk
  std::uint64_t lastDataMs = 0;   // tick of the last received data
  std::uint64_t idleMs = 0;       // since the last data, at the last empty read
  std::uint64_t lastStatusMs = 0; // tick of the last readable status reply
  std::int32_t expectedFrame = 0; // KSTD: 0 while a block header is awaited, else N + 1

  // The one pending read: bytes wanted, bytes in so far, and its deadline.
  // A read that completed stays "completed" until a reception step takes
  // it, so that a stop seen in between cannot drop its chunk.
  bool readPending = false;
  bool readCompleted = false;
  // The read ended with its network connection (Line's connectionEnded):
  // taken by the reception step of that read.
  bool connectionEnded = false;
  std::size_t readWant = 0;
  std::size_t readGot = 0;
  std::uint64_t readDeadlineMs = 0;
};

class SiteWorker {
 public:
  explicit SiteWorker(WorkerEnvironment& env);
  ~SiteWorker();
  SiteWorker(const SiteWorker&) = delete;
  SiteWorker& operator=(const SiteWorker&) = delete;

  // The thread's body; returns 0 when the worker ends.
  int Run();

  // Single pieces, for tests and for the other device handlers.
  SiteEntry* ChooseSite();
  bool IsSiteDue(const SiteEntry* entry) const;
  void PumpWorkerMessages();

  const SiteSettings& Settings() const { return site_; }
  const LineProcessingState& Processing() const { return processing_; }
  StorageState& Storage() { return storage_; }

 private:
  enum class PassEnd { kNext, kEndThread };

  PassEnd RunPass();
  void RunConnection(SiteEntry& entry);
  PassEnd SerialConnection(SiteEntry& entry);
  void AlternativeDownload(SiteEntry& entry);
  // False when the run ended before the library was asked for the link (a
  // missing key, no library).
  bool AvayaRun(SiteEntry& entry);
  void HandleCallLog(SiteEntry& entry, const std::vector<CallLogItem>& items);
  void StoreCallRecord(SiteEntry& entry, const std::string& record);
  void ShowText(const std::string& text);
  void ReportSiteSettingsFailure(SiteEntry& entry);
  void CloseConnection(SiteEntry& entry);

  // Reception (one pending read at a time).
  void IssueRead(std::size_t bytes);
  bool WaitForRead(WakeSignal* wake);
  void CompleteRead();
  void BoundPendingRead();
  void ReceptionStep(SiteEntry& entry);
  void EndPartialLine();
  void HeaderStep(SiteEntry& entry);
  void ChunkStep(SiteEntry& entry);
  void Resynchronise();
  bool StatusQuery();
  void DrainReception(SiteEntry& entry);
  // The records of a chunk for the status board: taken before line
  // processing, counted after it.
  struct RecordTally {
    std::uint64_t linesBefore = 0;
    std::uint64_t rawLineFeeds = 0;
  };
  RecordTally StartRecordTally(std::size_t count) const;
  std::uint64_t Records(const RecordTally& tally) const;
  void StoreAndShow(SiteEntry& entry, std::size_t count, std::uint64_t records);
  // Line processing of the count bytes received, then StoreAndShow of what
  // it made: the bytes stored, 0 when the buffers are gone (reported, and
  // StopFlag set).
  std::size_t ProcessAndStore(SiteEntry& entry, std::size_t count);
  void NextRead();

  // A line that failed under a running connection: reported once; a
  // continuous site then waits for its port to come back.
  void ReportLineLost(const SiteEntry& entry);
  bool WaitForPortBack();
  bool WaitForRequest(std::uint32_t ms);
  // Before a try of a site whose device refused the last one: the pause,
  // with the line-error icon. False when a request ended it.
  bool WaitOutRefusal(const SiteEntry& entry);

  bool IsBox() const;
  bool IsTerminatedBox() const;
  bool IsSerialText() const;  // COM, BUFF
  LineEnvironment MakeLineEnvironment();
  ExchangeLink Link();
  void Hold(bool waitEcho, bool force);
  void Release(bool statusForm, bool twice);
  std::uint64_t NowMs() const { return env_.clock.TickMs(); }
  std::uint32_t Random();  // 0..32767, the same sequence in every run
  void SetState(WorkerState state);
  void ReportError(int id, const std::string& siteCode);

  WorkerEnvironment& env_;
  SiteSettings site_;
  LineSettings lineSettings_;
  LineState lineState_;
  LineBuffers buffers_;
  LineProcessingState processing_;
  FlowState flow_;
  StorageState storage_;
  ReceptionState reception_;
  std::string currentSite_;
  std::uint32_t randomState_ = 5;
  LineFault lineFault_;              // of the running connection
  bool portLost_ = false;            // a continuous site's port went away
  std::uint32_t reopenPauseMs_ = 0;  // before the next look for it
  RefusalEpisode refusals_;          // a device that refuses a site's start
};

}  // namespace vr
