#include "acquisition/site_worker.h"

#include <algorithm>
#include <string>

#include "config/site_settings.h"
#include "line/modem.h"
#include "log/error_log.h"
#include "log/strings.h"
#include "storage/data_files.h"
#include "storage/merge.h"
#include "schedule/schedule.h"

namespace vr {
namespace {

constexpr std::uint32_t kIdleWaitMs = 1000;      // the idle worker wakes once a second
constexpr std::uint32_t kFailedStartPauseMs = 1000;
// A port that went away is looked for after these pauses, doubling.
constexpr std::uint32_t kFirstReopenPauseMs = 1000;
constexpr std::uint32_t kLastReopenPauseMs = 30000;

}  // namespace

const char* WorkerStateName(WorkerState state) {
  switch (state) {
    case WorkerState::kIdle: return "idle";
    case WorkerState::kConnecting: return "connecting";
    case WorkerState::kReceiving: return "receiving";
    case WorkerState::kHeld: return "held";
    case WorkerState::kLineError: return "line-error";
    case WorkerState::kEnded: return "ended";
  }
  return "idle";
}

SiteWorker::SiteWorker(WorkerEnvironment& env) : env_(env), buffers_(env.maxBufferBytes) {}

SiteWorker::~SiteWorker() {
  // A call-log callback that comes later must not reach our notifier.
  CallLogGate::Process().SetLateNotifier(nullptr);
}

std::uint32_t SiteWorker::Random() {
  // The C library's classic generator, so the pauses follow one fixed
  // sequence from the seed 5 in every run.
  randomState_ = randomState_ * 214013u + 2531011u;
  return (randomState_ >> 16) & 0x7FFFu;
}

void SiteWorker::SetState(WorkerState state) {
  if (env_.status) env_.status->SetState(state);
}

void SiteWorker::ReportError(int id, const std::string& siteCode) {
  env_.notifier.Post(Message::kError, static_cast<std::uint32_t>(id), siteCode);
}

SiteEntry* SiteWorker::ChooseSite() {
  if (!env_.siteCode.empty()) {
    for (SiteEntry& entry : env_.sites) {
      if (entry.name == env_.siteCode) {
        entry.enabled = 1;
        entry.nextRun = env_.clock.Now().seconds;
        return &entry;
      }
    }
    return nullptr;
  }
  auto it = env_.sites.begin();
  while (it != env_.sites.end() && it->enabled != 1) ++it;
  if (it == env_.sites.end()) return nullptr;
  SiteEntry* chosen = &*it;
  for (; it != env_.sites.end(); ++it) {
    // Strictly earlier only: among equal times the first in the list wins.
    if (it->enabled != 0 && it->nextRun < chosen->nextRun) chosen = &*it;
  }
  return chosen;
}

bool SiteWorker::IsSiteDue(const SiteEntry* entry) const {
  if (!entry || entry->enabled == 0) return false;
  return entry->nextRun <= env_.clock.Now().seconds;
}

void SiteWorker::PumpWorkerMessages() {
  env_.mailbox.Wake().Consume();
  for (const WorkerMailbox::Item& item : env_.mailbox.Take()) {
    switch (item.request) {
      case WorkerRequest::kClose:
        env_.flags.closing = true;
        env_.flags.stop = true;
        break;
      case WorkerRequest::kStopConnection:
        env_.flags.stop = true;
        // A continuous site would start again at once; "&Interrompi" means
        // it should stay off until chosen again.
        if (!env_.sites.empty() && env_.sites.front().ricorrenza == 0)
          env_.sites.front().enabled = 0;
        break;
      case WorkerRequest::kReload:
        env_.flags.reload = true;
        env_.flags.stop = true;
        break;
      case WorkerRequest::kStartSite:
        if (StartSiteByHand(env_.sites, env_.menu, static_cast<int>(item.value), env_.clock))
          env_.display.EnableMenuItems(false, false);
        break;
    }
  }
}

int SiteWorker::Run() {
  randomState_ = 5;
  while (!env_.flags.closing) {
    if (RunPass() == PassEnd::kEndThread) break;
  }
  // Chunks that no file would take live in memory only: they go to the
  // rescue files for the next run, and the log says where, or what is lost.
  const StorageContext storage{env_.files, env_.notifier, env_.flags, env_.clock};
  for (const std::string& line : RescueHeldChunks(storage, storage_))
    env_.notifier.Send(Message::kDebug, 0, line);
  SetState(WorkerState::kEnded);
  return 0;
}

SiteWorker::PassEnd SiteWorker::RunPass() {
  env_.display.ShowIcon(TrayIcon::kIdle);
  SetState(WorkerState::kIdle);
  if (env_.status) env_.status->SetSite({});
  if (env_.flags.reload && env_.reloadConfiguration) env_.reloadConfiguration();

  SiteEntry* current = ChooseSite();
  while (!IsSiteDue(current)) {
    if (env_.flags.closing) return PassEnd::kEndThread;
    if (env_.flags.reload) return PassEnd::kNext;
    if (env_.waitEvent) {
      WaitForEither(env_.mailbox.Wake(), *env_.waitEvent, kIdleWaitMs);
      // Lowered here: raised once from outside, it wakes one pass, not all.
      env_.waitEvent->Consume();
    } else {
      env_.mailbox.Wake().Wait(kIdleWaitMs);
    }
    PumpWorkerMessages();
    current = ChooseSite();
  }
  if (env_.flags.closing) return PassEnd::kEndThread;
  if (env_.flags.reload) return PassEnd::kNext;

  RunConnection(*current);

  if (env_.flags.closing) return PassEnd::kEndThread;
  env_.display.EnableMenuItems(true, false);
  return env_.flags.closing ? PassEnd::kEndThread : PassEnd::kNext;
}

void SiteWorker::RunConnection(SiteEntry& entry) {
  env_.flags.reload = false;
  env_.flags.stop = false;
  flow_.linesLowered = true;
  processing_.headerState = HeaderState::kConnectionStart;
  env_.display.EnableMenuItems(false, false);
  currentSite_ = entry.name;
  if (env_.status) env_.status->SetSite(entry.name);
  SetState(WorkerState::kConnecting);

  // The schedule moves on first, so a connection that fails still does.
  if (entry.ricorrenza != 0) {
    AdvanceSchedule(entry, env_.clock);
    StoreNextRun(env_.profile, entry);
  }

  const std::uint64_t startMs = NowMs();
  auto pauseIfInstant = [&] {
    // A start that fails at once would otherwise be tried again at once,
    // for a due continuous site forever: never spin a core on it.
    const std::uint64_t spentMs = NowMs() - startMs;
    if (spentMs < kFailedStartPauseMs)
      env_.clock.SleepMs(static_cast<std::uint32_t>(kFailedStartPauseMs - spentMs));
  };

  NotifierReporter reporter(env_.notifier);
  if (!ReadSiteSettings(env_.profile, entry.name, env_.programDir, site_, reporter)) {
    ReportSiteSettingsFailure(entry);
    pauseIfInstant();
    return;
  }
  processing_.lineEndCarry = site_.flagCRLF;
  if (env_.status) env_.status->SetSpaceThreshold(site_.spazioTimeoutMb);

  const StorageContext storage{env_.files, env_.notifier, env_.flags, env_.clock};
  if (!PrepareSiteDataFiles(storage, site_, storage_)) {
    if (!env_.flags.WarningPending(msg::kDataFilesCreate)) {
      env_.flags.WarningPending(msg::kDataFilesCreate) = true;
      env_.notifier.Post(Message::kWarning, msg::kDataFilesCreate, {});
    }
    pauseIfInstant();
    return;
  }

  if (site_.deviceType == DeviceType::kAvaya) {
    // A continuous site whose key is missing while the warning is still
    // pending stays enabled and comes back at once.
    if (!AvayaRun(entry)) pauseIfInstant();
    return;
  }
  if (site_.metodoAlternativo) {
    AlternativeDownload(entry);
    return;
  }
  SerialConnection(entry);
}

LineEnvironment SiteWorker::MakeLineEnvironment() {
  // Every read the worker makes on the port hears its requests.
  LineOpener attentiveOpen = [this](const std::string& name, std::uint32_t* error)
      -> std::unique_ptr<Line> {
    std::unique_ptr<Line> port = env_.openLine(name, error);
    if (!port) return nullptr;
    // A network line says when its connection drops and comes back.
    port->SetNotices(
        [this](std::string text) { env_.notifier.Post(Message::kDebug, 0, std::move(text)); });
    return std::make_unique<AttentiveLine>(
        std::move(port),
        WorkerAttention{env_.mailbox.Wake(), [this] { PumpWorkerMessages(); }, env_.flags.stop,
                        env_.clock, lineFault_});
  };
  return LineEnvironment{env_.profile,
                         env_.portName,
                         env_.notifier,
                         env_.flags.stop,
                         env_.clock,
                         std::move(attentiveOpen),
                         [this](std::uint32_t readChunkBytes) {
                           return buffers_.Resize(readChunkBytes);
                         },
                         env_.slave,
                         [this] { PumpWorkerMessages(); }};
}

ExchangeLink SiteWorker::Link() {
  return ExchangeLink{*lineState_.line, site_,        lineSettings_, flow_, env_.flags.stop,
                      env_.display,     env_.clock, &env_.notifier};
}

void SiteWorker::Hold(bool waitEcho, bool force) {
  if (!lineState_.line) return;
  ExchangeLink link = Link();
  HoldExchange(link, waitEcho, force);
  if (flow_.held) SetState(WorkerState::kHeld);
}

void SiteWorker::Release(bool statusForm, bool twice) {
  if (!lineState_.line) return;
  ExchangeLink link = Link();
  ReleaseExchange(link, statusForm, twice);
  if (!flow_.held) SetState(WorkerState::kReceiving);
}

bool SiteWorker::IsBox() const {
  return site_.deviceType == DeviceType::kKsta || site_.deviceType == DeviceType::kKstb ||
         site_.deviceType == DeviceType::kKstc || site_.deviceType == DeviceType::kKstd;
}

bool SiteWorker::IsTerminatedBox() const {
  return IsBox() && site_.deviceType != DeviceType::kKstd;
}

bool SiteWorker::IsSerialText() const { return site_.deviceType == DeviceType::kCom; }

void SiteWorker::ReportLineLost(const SiteEntry& entry) {
  env_.display.ShowIcon(TrayIcon::kLineError);
  SetState(WorkerState::kLineError);
  env_.notifier.Post(Message::kDebug, 0,
                     "Porta " + env_.portName + " persa: " + SystemErrorText(lineFault_.error));
  if (entry.ricorrenza == 0) {
    portLost_ = true;
    reopenPauseMs_ = kFirstReopenPauseMs;
  }
}

bool SiteWorker::WaitForRequest(std::uint32_t ms) {
  const std::uint64_t deadlineMs = NowMs() + ms;
  for (;;) {
    if (env_.flags.stop || env_.flags.closing || env_.flags.reload) return false;
    const std::uint64_t nowMs = NowMs();
    if (nowMs >= deadlineMs) return true;
    env_.mailbox.Wake().Wait(static_cast<std::uint32_t>(std::min<std::uint64_t>(deadlineMs - nowMs, kIdleWaitMs)));
    PumpWorkerMessages();
  }
}

bool SiteWorker::WaitForPortBack() {
  // Quietly: one line said the port went away, one more says it is back.
  env_.display.ShowIcon(TrayIcon::kLineError);
  SetState(WorkerState::kLineError);
  for (;;) {
    if (!WaitForRequest(reopenPauseMs_)) return false;
    std::uint32_t error = 0;
    if (env_.openLine(env_.portName, &error)) break;  // closed again at once
    reopenPauseMs_ = std::min(reopenPauseMs_ * 2, kLastReopenPauseMs);
  }
  portLost_ = false;
  env_.notifier.Post(Message::kDebug, 0, "Porta " + env_.portName + " di nuovo disponibile");
  return true;
}

bool SiteWorker::WaitOutRefusal(const SiteEntry& entry) {
  const std::uint64_t waitMs = refusals_.WaitBeforeTryMs(entry.name, NowMs());
  if (waitMs == 0) return true;
  env_.display.ShowIcon(TrayIcon::kLineError);
  SetState(WorkerState::kLineError);
  return WaitForRequest(static_cast<std::uint32_t>(waitMs));
}

SiteWorker::PassEnd SiteWorker::SerialConnection(SiteEntry& entry) {
  if (portLost_ && !WaitForPortBack()) return PassEnd::kNext;
  lineFault_ = LineFault{};
  LineEnvironment lineEnv = MakeLineEnvironment();

  const int opened = OpenLine(lineEnv, entry.name, site_, lineSettings_, lineState_,
                              static_cast<std::int32_t>(site_.importazione), false);
  if (opened != 0) {
    env_.display.ShowIcon(TrayIcon::kLineError);
    SetState(WorkerState::kLineError);
    if (entry.ricorrenza == 0) {
      env_.notifier.Post(Message::kWarning, static_cast<std::uint32_t>(opened), {});
      entry.enabled = 0;
      if (!env_.siteCode.empty()) env_.flags.closing = true;
      // An enabled continuous site comes back at once; the pause keeps a
      // failing port from being hammered.
      env_.clock.SleepMs(kFailedStartPauseMs);
    } else {
      env_.clock.SleepMs(kFailedStartPauseMs);
    }
    return PassEnd::kNext;
  }

  reception_ = ReceptionState{};
  reception_.previousCount = 1;
  Release(false, false);
  reception_.lastDataMs = NowMs();
  reception_.lastStatusMs = NowMs();
  env_.display.EnableMenuItems(false, true);
  IssueRead(site_.deviceType == DeviceType::kKstd ? 2 : lineState_.readChunkBytes);

  const StorageContext storage{env_.files, env_.notifier, env_.flags, env_.clock};
  while (!env_.flags.stop) {
    MergeOverflowFile(storage, site_.datiOverflow, site_.dati, storage_.main);
    const bool completed = WaitForRead(&env_.mailbox.Wake());
    if (completed && !env_.flags.stop) {
      ReceptionStep(entry);
    } else {
      PumpWorkerMessages();
    }
    // What came before the failure is stored; the dead port is not read on.
    if (lineFault_.failed) break;
    if (env_.flags.stop) break;
    if (!reception_.readPending && !env_.flags.stop) {
      // No read could be issued (the buffer is gone): nothing more can come.
      env_.flags.stop = true;
      break;
    }
    if (lineSettings_.modem != 0 && !lineState_.line->Carrier()) {
      std::int32_t budget = static_cast<std::int32_t>(site_.importazione);
      ModemLink modem{*lineState_.line, lineState_.timeouts, SetLineTimeouts(lineSettings_.modem, site_),
                      env_.clock, env_.flags.stop, env_.slave, [this] { PumpWorkerMessages(); }};
      const bool redialled =
          DialModem(modem, lineSettings_.modemString, lineSettings_.phoneNumber, budget);
      // Every failed attempt of the connection uses up the site's budget.
      site_.importazione = static_cast<std::uint32_t>(budget < 0 ? 0 : budget);
      if (!redialled) {
        env_.flags.stop = true;
        break;
      }
      Release(false, false);
      reception_.lastDataMs = NowMs();
    }
  }
  const bool lost = lineFault_.failed;
  if (lost) ReportLineLost(entry);
  CloseConnection(entry);
  if (lost) {
    env_.display.ShowIcon(TrayIcon::kLineError);
    SetState(WorkerState::kLineError);
  }
  return PassEnd::kNext;
}

void SiteWorker::CloseConnection(SiteEntry& entry) {
  DrainReception(entry);
  env_.profile.WriteString(entry.name, "FlagCRLF", std::to_string(processing_.lineEndCarry));
  if (lineSettings_.modem != 0 && lineState_.line) {
    ModemLink modem{*lineState_.line, lineState_.timeouts, SetLineTimeouts(lineSettings_.modem, site_),
                    env_.clock, env_.flags.stop, env_.slave, {}};
    HangUpModem(modem);
  }
  env_.notifier.Send(Message::kDebug, 0, "Ripristino impostazioni porta seriale");
  if (lineState_.line) {
    PortSettings restored = lineState_.openingSettings;
    restored.dtrControl = DtrControl::kDisable;
    restored.rtsControl = RtsControl::kDisable;
    lineState_.line->SetSettings(restored);
  }
  env_.notifier.Send(Message::kDebug, 0, "Impostazioni porta seriale effettuata");
  env_.notifier.Send(Message::kError, msg::kPortClosed, entry.name);
  env_.notifier.Send(Message::kDebug, 0, "Chiusura porta seriale");
  CloseLine(lineState_);
  env_.notifier.Send(Message::kDebug, 0, "Disconnessa porta seriale");
  if (env_.status) env_.status->SetLines(processing_.lineCount);
}

}  // namespace vr
