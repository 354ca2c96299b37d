// The call-log connection of an AVAYA site: load the library, open the link
// and register for the call log, then wait while the library delivers the
// records; each one is processed and stored here, on the worker's thread,
// as the callbacks hand it over (devices/call_log.h says why).

#include <cstdio>
#include <cstring>
#include <string>

#include "acquisition/site_worker.h"
#include "config/general_settings.h"
#include "config/settings.h"
#include "devices/call_log.h"
#include "log/strings.h"

namespace vr {
namespace {

constexpr std::int32_t kLinkHandle = 1;  // one link per process
constexpr std::uint32_t kRunWaitMs = 1000;
// How often a run looks whether another site has come due.
constexpr std::uint64_t kDueCheckMs = 60000;
constexpr std::size_t kAvayaKeyChars = 258;  // a buffer of 259

std::string CommsLine(std::int32_t state, std::int32_t parm1) {
  char line[96];
  std::snprintf(line, sizeof line, "avaya connected (comstate = %d, param1= %d) \r\n",
                static_cast<int>(state), static_cast<int>(parm1));
  return line;
}

}  // namespace

void SiteWorker::ShowText(const std::string& text) {
  env_.notifier.Post(Message::kDisplay, static_cast<std::uint32_t>(text.size()), text);
}

void SiteWorker::ReportSiteSettingsFailure(SiteEntry& entry) {
  if (env_.flags.WarningPending(msg::kSiteSettings)) return;
  env_.flags.WarningPending(msg::kSiteSettings) = true;
  ReportError(msg::kSiteSettings, entry.name);
  env_.notifier.Post(Message::kWarning, msg::kSiteSettings, {});
  entry.enabled = 0;
}

bool SiteWorker::AvayaRun(SiteEntry& entry) {
  const std::string address =
      env_.profile.ReadString(entry.name, "IndirizzoIP", kMissingText, kAvayaKeyChars);
  if (IsMissing(address)) {
    ReportSiteSettingsFailure(entry);
    return false;
  }
  const std::string password =
      env_.profile.ReadString(entry.name, "Password", kMissingText, kAvayaKeyChars);
  if (IsMissing(password)) {
    ReportSiteSettingsFailure(entry);
    return false;
  }
  // A library that refused the last try is asked again only after its pause.
  if (!WaitOutRefusal(entry)) return true;
  const std::uint64_t tryStartMs = NowMs();
  ShowText("importazione: " + entry.name + " \r\n");

  const DevLinkLibrary library = env_.loadDevLink ? env_.loadDevLink() : DevLinkLibrary{};
  if (library.status != DevLinkLibrary::Status::kLoaded) {
    // Not through the main window: a box of its own, and the site is off.
    const char* text = library.status == DevLinkLibrary::Status::kCorrupted
                           ? kDevLinkCorruptedText
                           : kDevLinkMissingText;
    if (env_.showOwnerlessBox) env_.showOwnerlessBox(text);
    entry.enabled = 0;
    return false;
  }
  // A buffer lost to an earlier failure is had again for this run.
  if (!buffers_.Available()) buffers_.Resize(LineBuffers::kInitialCapacityBytes);

  CallLogGate& gate = CallLogGate::Process();
  gate.SetLateNotifier(&env_.notifier);
  gate.Open(env_.mailbox.Wake());
  const std::int32_t opened =
      library.open(kLinkHandle, address.c_str(), password.c_str(), "", "", CommsEvent);
  const std::int32_t registered =
      opened == 0 ? library.registerCallLog(kLinkHandle, CallLogEvent) : 0;
  if (opened != 0 || registered != 0) {
    // Refused: no record can come, so the site must not look as receiving.
    library.close(kLinkHandle);
    HandleCallLog(entry, gate.Close());
    env_.display.ShowIcon(TrayIcon::kLineError);
    SetState(WorkerState::kLineError);
    const char* call = opened != 0 ? "DLOpen" : "DLRegisterCallLog";
    const std::int32_t code = opened != 0 ? opened : registered;
    // A continuous site stays on and is tried again after the pause; a
    // scheduled one waits for its next time, already written back.
    const std::int64_t reason = (std::int64_t{opened != 0 ? 1 : 2} << 32) + code;  // call and code
    if (refusals_.Refused(entry.name, reason, tryStartMs, NowMs()))
      env_.notifier.Post(Message::kDebug, 0,
                         "Sede " + entry.name + ": DevLink ha rifiutato " + call + " (codice " +
                             std::to_string(code) + ")");
    return true;
  }
  if (refusals_.Accepted(entry.name))
    env_.notifier.Post(Message::kDebug, 0,
                       "Sede " + entry.name + ": DevLink ha accettato il collegamento");

  env_.display.ShowIcon(TrayIcon::kReceiving);
  SetState(WorkerState::kReceiving);
  env_.display.EnableMenuItems(false, true);

  // The look for another due site goes by the tick, not by a count of
  // waits: handed-over records end a wait early.
  std::uint64_t lastDueCheckMs = NowMs();
  while (!env_.flags.stop) {
    if (env_.waitEvent) {
      WaitForEither(env_.mailbox.Wake(), *env_.waitEvent, kRunWaitMs);
      env_.waitEvent->Consume();
    } else {
      env_.mailbox.Wake().Wait(kRunWaitMs);
    }
    // Lowers the wake before the queue is taken: a record handed over
    // after the take raises it again.
    PumpWorkerMessages();
    HandleCallLog(entry, gate.Take());
    if (NowMs() - lastDueCheckMs >= kDueCheckMs) {
      lastDueCheckMs = NowMs();
      const SiteEntry* due = ChooseSite();
      if (IsSiteDue(due) && due != &entry) env_.flags.stop = true;
    }
  }

  env_.display.EnableMenuItems(true, false);
  PumpWorkerMessages();
  ShowText("avaya disconnected \r\n");
  PumpWorkerMessages();
  library.close(kLinkHandle);
  // What came up to the end of DLClose is stored; anything later is dropped.
  HandleCallLog(entry, gate.Close());
  if (env_.status) env_.status->SetLines(processing_.lineCount);
  return true;
}

void SiteWorker::HandleCallLog(SiteEntry& entry, const std::vector<CallLogItem>& items) {
  for (const CallLogItem& item : items) {
    if (item.kind == CallLogItem::Kind::kComms) {
      ShowText(CommsLine(item.commsState, item.commsParm1));
      continue;
    }
    StoreCallRecord(entry, item.text);
  }
}

void SiteWorker::StoreCallRecord(SiteEntry& entry, const std::string& record) {
  // The record, then LF CR.
  const std::size_t count = record.size() + 2;
  if (!buffers_.Available()) buffers_.Resize(LineBuffers::kInitialCapacityBytes);
  buffers_.SetReadChunk(count);
  if (buffers_.Available() && count > buffers_.Capacity()) {
    buffers_.SetReadChunk(count - buffers_.Capacity() + 5);
    buffers_.GrowLineBuffers();
  }
  if (!buffers_.Available()) {
    ReportError(msg::kBufferAlloc, entry.name);
    env_.flags.stop = true;
    return;
  }
  const std::span<std::uint8_t> bytes = buffers_.Receive();
  std::memcpy(bytes.data(), record.data(), record.size());
  bytes[record.size()] = '\n';
  bytes[record.size() + 1] = '\r';
  bytes[count] = 0;

  ProcessAndStore(entry, count);
}

}  // namespace vr
