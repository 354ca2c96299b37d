// The alternative download loop (MetodoAlternativo): a synchronous line read
// in plain reads, for KSTD boxes and for direct lines of the kinds that are
// not boxes. Each read that brought data is one block.

#include <algorithm>
#include <array>
#include <string>

#include "acquisition/site_worker.h"
#include "devices/kestrel.h"
#include "log/strings.h"
#include "storage/data_files.h"

namespace vr {
namespace {

constexpr std::size_t kPlainReadBytes = 100;
constexpr std::uint32_t kEmptyBoxPauseMs = 3000;
constexpr std::uint32_t kBadBlockIconMs = 3000;
constexpr std::uint32_t kRefusedPauseMs = 1000;

// Why the loop would not serve a site.
enum class Refusal { kPortNotOpened = 1, kTerminatedBox = 2, kModem = 3 };

std::string RefusalText(const std::string& site, Refusal refusal, int openError) {
  std::string text = "Sede " + site + ": scaricamento alternativo non possibile, ";
  switch (refusal) {
    case Refusal::kPortNotOpened:
      return text + "porta non aperta (errore " + std::to_string(openError) + ")";
    case Refusal::kTerminatedBox:
      return text + "non previsto per KSTA, KSTB e KSTC";
    case Refusal::kModem:
      return text + "linea con modem";
  }
  return text;
}

}  // namespace

void SiteWorker::AlternativeDownload(SiteEntry& entry) {
  if (portLost_ && !WaitForPortBack()) return;
  // A site served alone is due again at once: a refusal must not become a
  // loop that opens the port and warns at full speed.
  if (!WaitOutRefusal(entry)) return;
  const std::uint64_t tryStartMs = NowMs();
  lineFault_ = LineFault{};
  LineEnvironment lineEnv = MakeLineEnvironment();

  const int opened = OpenLine(lineEnv, entry.name, site_, lineSettings_, lineState_,
                              static_cast<std::int32_t>(site_.importazione), true);
  const bool refusedKind = site_.deviceType == DeviceType::kKsta ||
                           site_.deviceType == DeviceType::kKstb ||
                           site_.deviceType == DeviceType::kKstc;
  if (opened != 0 || lineSettings_.modem == 1 || refusedKind) {
    CloseLine(lineState_);
    env_.display.ShowIcon(TrayIcon::kLineError);
    SetState(WorkerState::kLineError);
    const Refusal refusal = opened != 0   ? Refusal::kPortNotOpened
                            : refusedKind ? Refusal::kTerminatedBox
                                          : Refusal::kModem;
    const bool report = refusals_.Refused(
        entry.name, static_cast<std::int64_t>(refusal) * 100000 + opened, tryStartMs, NowMs());
    if (report) env_.notifier.Post(Message::kDebug, 0, RefusalText(entry.name, refusal, opened));
    if (entry.ricorrenza == 0) {
      if (report) env_.notifier.Post(Message::kWarning, static_cast<std::uint32_t>(opened), {});
      entry.enabled = 0;
    } else {
      env_.clock.SleepMs(kRefusedPauseMs);
    }
    return;
  }
  if (refusals_.Accepted(entry.name))
    env_.notifier.Post(Message::kDebug, 0,
                       "Sede " + entry.name + ": scaricamento alternativo avviato");

  Line& line = *lineState_.line;
  const bool kstd = site_.deviceType == DeviceType::kKstd;
  env_.display.ShowIcon(TrayIcon::kReceiving);
  SetState(WorkerState::kReceiving);
  env_.display.EnableMenuItems(false, true);

  const std::array<std::uint8_t, 1> resume = {box::kResume};
  const std::array<std::uint8_t, 2> resumeTwice = {box::kResume, box::kResume};
  std::array<std::uint8_t, 2> countBytes{};
  std::array<std::uint8_t, 1> one{};

  auto readCount = [&](std::size_t& n) {
    const IoResult r = line.Read(countBytes);
    if (!r.ok || r.bytes < 2) return false;
    n = static_cast<std::size_t>(countBytes[0] << 8 | countBytes[1]);
    return true;
  };
  // A count whose block could not be a box's (noise, a confused box) is a
  // failed block: what is in flight is thrown away and the box asked again,
  // as the continuous reception resynchronises. Without this the loop would
  // wait for a block larger than its buffer, without a read and at full
  // speed, until the end-of-import time-out.
  auto countInRange = [](std::size_t n) { return n + 1 <= box::kMaxCountedFrame; };
  auto refuseCount = [&](std::size_t& n) {
    ReportError(msg::kChecksum, entry.name);
    const std::size_t discard = std::min<std::size_t>(box::kMaxCountedFrame, buffers_.Capacity());
    line.Read(buffers_.Receive().first(discard));
    line.Write(resumeTwice);
    line.Read(one);
    if (!readCount(n)) return false;
    return true;
  };

  std::size_t expected = 0;  // KSTD: the N of the block being gathered
  if (kstd) {
    const IoResult w = line.Write(resume);
    const IoResult echo = w.ok && w.bytes == 1 ? line.Read(one) : IoResult{};
    if (!echo.ok || echo.bytes != 1 || one[0] != box::kResume || !readCount(expected)) {
      CloseLine(lineState_);
      return;
    }
    while (expected != 0 && !countInRange(expected) && !env_.flags.stop && !lineFault_.failed) {
      if (!refuseCount(expected)) env_.flags.stop = true;
    }
    if (expected == 0) {
      env_.flags.stop = true;
      env_.clock.SleepMs(kEmptyBoxPauseMs);
    }
  } else if (IsSerialText() && lineSettings_.handshake == Handshake::kXon) {
    const std::array<std::uint8_t, 2> xon = {lineSettings_.xonChar, lineSettings_.xonChar};
    line.Write(xon);
  }

  auto storeBlock = [&](std::size_t count) { ProcessAndStore(entry, count); };

  std::size_t gathered = 0;
  std::uint64_t lastDataMs = NowMs();
  while (!env_.flags.stop) {
    if (!buffers_.Available()) {
      env_.flags.stop = true;
      break;
    }
    const std::size_t capacity = buffers_.Capacity();
    std::size_t want = kstd ? expected - gathered : kPlainReadBytes;
    if (gathered + want > capacity) want = capacity > gathered ? capacity - gathered : 0;
    const IoResult r = want > 0 ? line.Read(buffers_.Receive().subspan(gathered, want)) : IoResult{};
    const std::size_t got = r.bytes;
    if (got == 0) {
      if (NowMs() - lastDataMs > lineSettings_.endOfImportTimeoutMs) env_.flags.stop = true;
    } else {
      lastDataMs = NowMs();
      gathered += got;
    }
    PumpWorkerMessages();
    // What came before the failure is stored below; the dead port is not read on.
    if (lineFault_.failed) env_.flags.stop = true;

    if (!kstd) {
      if (gathered > 0) {
        buffers_.Receive()[gathered] = 0;
        storeBlock(gathered);
        gathered = 0;
      }
      continue;
    }
    if (gathered < expected || expected == 0) continue;

    // A whole KSTD block is in: its checksum, the acknowledge, the next count.
    buffers_.Receive()[gathered] = 0;
    bool good = false;
    const IoResult sum = line.Read(one);
    if (sum.ok && sum.bytes == 1 &&
        one[0] == AdditiveChecksum(buffers_.Receive().first(gathered))) {
      const std::array<std::uint8_t, 1> ack = {box::kAcknowledge};
      line.Write(ack);
      const IoResult echo = line.Read(one);
      good = echo.ok && echo.bytes == 1 && one[0] == box::kAcknowledge;
    } else {
      env_.display.ShowIcon(TrayIcon::kHeld);
      env_.clock.SleepMs(kBadBlockIconMs);
      env_.display.ShowIcon(TrayIcon::kReceiving);
    }
    const std::size_t blockBytes = gathered;
    gathered = 0;
    line.Write(resumeTwice);
    line.Read(one);  // the box's echo, or whatever it sends first
    bool counted = readCount(expected);
    while (counted && expected != 0 && !countInRange(expected) && !env_.flags.stop &&
           !lineFault_.failed)
      counted = refuseCount(expected);
    if (!counted || expected == 0) env_.flags.stop = true;
    if (good) storeBlock(blockBytes);
  }
  const bool lost = lineFault_.failed;
  if (lost) ReportLineLost(entry);

  if (lineState_.line) {
    PortSettings restored = lineState_.openingSettings;
    restored.dtrControl = DtrControl::kDisable;
    restored.rtsControl = RtsControl::kDisable;
    lineState_.line->SetSettings(restored);
  }
  CloseLine(lineState_);
  if (lost) {
    env_.display.ShowIcon(TrayIcon::kLineError);
    SetState(WorkerState::kLineError);
  }
}

}  // namespace vr
