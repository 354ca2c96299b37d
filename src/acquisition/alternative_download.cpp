// The alternative download loop (MetodoAlternativo): a synchronous line read
// in plain reads, for KSTD boxes and for direct lines of the kinds that are
// not boxes. Each read that brought data is one block.

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

}  // namespace

void SiteWorker::AlternativeDownload(SiteEntry& entry) {
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
    if (entry.ricorrenza == 0) {
      env_.notifier.Post(Message::kWarning, static_cast<std::uint32_t>(opened), {});
      entry.enabled = 0;
    } else {
      env_.clock.SleepMs(kRefusedPauseMs);
    }
    return;
  }

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

  std::size_t expected = 0;  // KSTD: the N of the block being gathered
  if (kstd) {
    const IoResult w = line.Write(resume);
    const IoResult echo = w.ok && w.bytes == 1 ? line.Read(one) : IoResult{};
    if (!echo.ok || echo.bytes != 1 || one[0] != box::kResume || !readCount(expected)) {
      CloseLine(lineState_);
      return;
    }
    if (expected == 0) {
      env_.flags.stop = true;
      env_.clock.SleepMs(kEmptyBoxPauseMs);
    }
  } else if (IsSerialText() && lineSettings_.handshake == Handshake::kXon) {
    const std::array<std::uint8_t, 2> xon = {lineSettings_.xonChar, lineSettings_.xonChar};
    line.Write(xon);
  }

  auto storeBlock = [&](std::size_t count) {
    const ChunkResult processed =
        ProcessChunk(buffers_, count, site_, entry.name, env_.clock, processing_);
    if (processed.bufferUnavailable) {
      ReportError(msg::kBufferAlloc, entry.name);
      env_.flags.stop = true;
      return;
    }
    if (processed.count > 0) StoreAndShow(entry, processed.count);
  };

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
    const std::size_t got = r.ok ? r.bytes : 0;
    if (got == 0) {
      if (NowMs() - lastDataMs > lineSettings_.endOfImportTimeoutMs) env_.flags.stop = true;
    } else {
      lastDataMs = NowMs();
      gathered += got;
    }
    PumpWorkerMessages();

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
    if (!readCount(expected) || expected == 0) env_.flags.stop = true;
    if (good) storeBlock(blockBytes);
  }

  if (lineState_.line) {
    PortSettings restored = lineState_.openingSettings;
    restored.dtrControl = DtrControl::kDisable;
    restored.rtsControl = RtsControl::kDisable;
    lineState_.line->SetSettings(restored);
  }
  CloseLine(lineState_);
}

}  // namespace vr
