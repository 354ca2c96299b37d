// Continuous reception: the pending read, the reception step with its KSTD
// header step and chunk step, the idle logic, the box status query and the
// drain at the end of a connection.

#include <algorithm>
#include <cstring>
#include <string>

#include "acquisition/site_worker.h"
#include "devices/kestrel.h"
#include "log/strings.h"
#include "storage/data_files.h"

namespace vr {
namespace {

// A silent terminated box that did not acknowledge its resume command is
// restarted after this much silence.
constexpr std::uint64_t kBoxRestartIdleMs = 5000;
constexpr std::uint32_t kBoxRestartPauseMs = 1000;
// After a block header out of range, this much is read and thrown away.
constexpr std::size_t kResyncDiscardBytes = 4097;
// The drain collects what is in flight when a connection ends. An exchange
// that cannot be held (no handshake) may never pause: past this time no
// further read is waited for.
constexpr std::uint64_t kDrainBudgetMs = 3000;
// The longest single wait of the pending read (it wakes on requests anyway).
constexpr std::uint64_t kPendingReadSliceMs = 60000;

// The receive buffer as the block receiver sees it.
class ReceiveBlockBuffer final : public BlockBuffer {
 public:
  explicit ReceiveBlockBuffer(LineBuffers& buffers) : buffers_(buffers) {}
  std::span<std::uint8_t> Bytes() override { return buffers_.Receive(); }
  bool Grow() override { return buffers_.GrowLineBuffers(); }

 private:
  LineBuffers& buffers_;
};

}  // namespace

void SiteWorker::IssueRead(std::size_t bytes) {
  if (!buffers_.Available() || !lineState_.line) {
    reception_.readPending = false;
    return;
  }
  const std::size_t capacity = buffers_.Capacity();
  reception_.readPending = true;
  reception_.readCompleted = false;
  reception_.readWant = bytes < capacity ? bytes : capacity;
  reception_.readGot = 0;
  // A read time-out of 0 means none: the read waits for its count.
  const std::uint32_t timeoutMs = lineState_.timeouts.readTotalMs;
  reception_.readDeadlineMs = timeoutMs == 0 ? UINT64_MAX : NowMs() + timeoutMs;
}

bool SiteWorker::WaitForRead(WakeSignal* wake) {
  if (!reception_.readPending) return wake == nullptr;
  Line& line = *lineState_.line;
  const std::uint32_t intervalMs = lineState_.timeouts.readIntervalMs;
  while (reception_.readGot < reception_.readWant) {
    const std::uint64_t now = NowMs();
    if (now >= reception_.readDeadlineMs) break;
    if (wake && wake->Wait(0)) return false;
    const std::uint64_t leftMs = reception_.readDeadlineMs - now;
    auto remainingMs =
        static_cast<std::uint32_t>(leftMs < kPendingReadSliceMs ? leftMs : kPendingReadSliceMs);
    // The line starts the interval of a read taken up again after a wake
    // only at its first byte: bounded by the interval, it ends on a silence.
    if (intervalMs != 0 && reception_.readGot > 0 && intervalMs < remainingMs)
      remainingMs = intervalMs;
    std::span<std::uint8_t> target =
        buffers_.Receive().subspan(reception_.readGot, reception_.readWant - reception_.readGot);
    const IoResult result = line.ReadWithin(target, remainingMs, wake);
    reception_.readGot += result.bytes;
    if (!result.ok) break;  // a failed read completes with what it has
    // A network connection ended: what it sent is this chunk, and the next
    // connection's bytes belong to the next one.
    if (result.connectionEnded) {
      reception_.connectionEnded = true;
      break;
    }
    const bool woken = wake && wake->Wait(0);
    if (result.bytes == 0 && woken) return false;
    // Short of its count once bytes have come, and not woken: the interval
    // time-out ended it, and the record goes on to the files now.
    if (intervalMs != 0 && reception_.readGot > 0 && !woken) break;
  }
  reception_.readPending = false;
  reception_.readCompleted = true;
  reception_.count = reception_.readGot;
  buffers_.Receive()[reception_.count] = 0;
  return true;
}

// Waits for the pending read, taking the worker's requests meanwhile. Once
// StopFlag is set a read without an end gets one more slice, and once the
// worker is to close any read does: nothing waits on a silent device.
void SiteWorker::CompleteRead() {
  while (!WaitForRead(&env_.mailbox.Wake())) {
    PumpWorkerMessages();
    BoundPendingRead();
  }
}

void SiteWorker::BoundPendingRead() {
  if (!reception_.readPending) return;
  const std::uint64_t boundMs = NowMs() + kReadSliceMs;
  const bool noEnd = reception_.readDeadlineMs == UINT64_MAX;
  if ((env_.flags.stop && noEnd) || env_.flags.closing)
    reception_.readDeadlineMs = std::min(reception_.readDeadlineMs, boundMs);
}

void SiteWorker::ReceptionStep(SiteEntry& entry) {
  reception_.readCompleted = false;
  const bool connectionEnded = reception_.connectionEnded;
  reception_.connectionEnded = false;
  if (site_.deviceType == DeviceType::kKstd && reception_.expectedFrame == 0) {
    HeaderStep(entry);
  } else {
    ChunkStep(entry);
    reception_.expectedFrame = 0;
  }
  if (connectionEnded) EndPartialLine();
}

// A network connection that ended in the middle of a line: its partial line
// ends there, and the next connection's data starts on a line of its own
// with its header, as the data of a new connection of a serial site does.
// A connection that ended with its line changes nothing.
void SiteWorker::EndPartialLine() {
  if (processing_.headerState == HeaderState::kContinuesLine)
    processing_.headerState = HeaderState::kConnectionStart;
}

void SiteWorker::HeaderStep(SiteEntry& entry) {
  const std::span<std::uint8_t> bytes = buffers_.Receive();
  if (reception_.count == 2) {
    const std::int32_t frame = (bytes[0] << 8 | bytes[1]) + 1;
    reception_.expectedFrame = frame;
    if (frame >= 2 && frame <= static_cast<std::int32_t>(box::kMaxCountedFrame)) {
      IssueRead(static_cast<std::size_t>(frame));
      return;
    }
    if (frame == 1 && entry.ricorrenza != 0 &&
        NowMs() - reception_.lastDataMs > lineSettings_.endOfImportTimeoutMs) {
      env_.flags.stop = true;
      reception_.expectedFrame = 0;
      reception_.count = 0;
      return;
    }
    Resynchronise();
    return;
  }
  if (!buffers_.Available() || (reception_.count == 0 && env_.flags.stop)) {
    reception_.count = 0;
    return;
  }
  // A box that fell silent (powered off, cable pulled) would otherwise be
  // nudged and read for ever, and hold the port from every other site: a
  // scheduled import ends on the same time-out as in the chunk step.
  if (entry.ricorrenza != 0 &&
      NowMs() - reception_.lastDataMs > lineSettings_.endOfImportTimeoutMs) {
    env_.flags.stop = true;
    reception_.count = 0;
    return;
  }
  // A stray byte is dropped; the box is nudged and asked again.
  Hold(false, false);
  Release(false, false);
  IssueRead(2);
}

void SiteWorker::Resynchronise() {
  if (env_.flags.stop) {
    reception_.count = 0;
    return;
  }
  reception_.expectedFrame = 0;
  IssueRead(kResyncDiscardBytes);
  CompleteRead();
  reception_.readCompleted = false;
  reception_.count = 0;
  Hold(true, true);
  if (buffers_.Available() && !env_.flags.stop) {
    Release(false, false);
    IssueRead(2);
  }
}

void SiteWorker::ChunkStep(SiteEntry& entry) {
  std::size_t count = reception_.count;
  const std::uint64_t endOfImportMs = lineSettings_.endOfImportTimeoutMs;

  if (count == 0) {
    reception_.idleMs = NowMs() - reception_.lastDataMs;
    bool restartBox = false;
    if (reception_.idleMs > endOfImportMs) {
      if (entry.ricorrenza != 0)
        env_.flags.stop = true;
      else if (IsTerminatedBox() && !flow_.boxAcknowledged && !env_.flags.stop)
        restartBox = true;
    } else if (IsTerminatedBox() && reception_.idleMs > kBoxRestartIdleMs &&
               !flow_.boxAcknowledged && !env_.flags.stop) {
      restartBox = true;
    }
    if (restartBox) {
      env_.clock.SleepMs(kBoxRestartPauseMs);
      Hold(false, false);
      env_.clock.SleepMs(kBoxRestartPauseMs);
      Release(false, false);
    }
    // The nudge frees an exchange that missed an XON. Not once the
    // connection is ending: the drain holds the exchange, and what a nudge let
    // it print after the last read would be lost with the closed port.
    if (IsSerialText() && lineSettings_.handshake == Handshake::kXon && !env_.flags.stop) {
      Hold(true, true);
      Release(false, true);
    }
    NextRead();
    return;
  }

  if (IsTerminatedBox() && count == reception_.previousCount && reception_.lastCheckFailed) {
    // The same block again right after a bad one: give the box a moment.
    env_.clock.SleepMs(1000u + 1000u * Random() / 32767u);
    reception_.previousCount = 0;
  } else {
    reception_.previousCount = count;
  }

  Hold(false, false);
  reception_.lastDataMs = NowMs();
  reception_.idleMs = 0;

  bool stored = false;
  if (IsBox()) {
    ReceiveBlockBuffer blockBuffer(buffers_);
    const bool counted = site_.deviceType == DeviceType::kKstd;
    const bool stopBefore = env_.flags.stop;
    const int result =
        ReceiveBlock(*lineState_.line, blockBuffer, count, counted,
                     static_cast<std::size_t>(reception_.expectedFrame), &env_.flags.stop);
    if (result == 0) {
      reception_.lastCheckFailed = false;
    } else if (result == msg::kBufferAlloc) {
      ReportError(msg::kBufferAlloc, entry.name);
      env_.flags.stop = true;
      count = 0;
      stored = true;  // nothing more to do with this chunk
    } else if (!stopBefore && env_.flags.stop && result != msg::kChecksum) {
      // Given up for the stop: not acknowledged, so the box keeps it.
      count = 0;
      stored = true;
    } else {
      ReportError(msg::kChecksum, entry.name);
      reception_.lastCheckFailed = true;
      count = 0;
      stored = true;
    }
  }
  if (!stored && count > 0) count = ProcessAndStore(entry, count);
  reception_.count = count;

  if (entry.ricorrenza != 0 && IsBox()) {
    if (env_.flags.stop) {
      NextRead();
      return;
    }
    // Only ever raises the stop: one asked for during the query must stand.
    if (NowMs() - reception_.lastStatusMs > endOfImportMs && StatusQuery()) env_.flags.stop = true;
  }
  if (!env_.flags.stop) Release(false, false);
  NextRead();
}

SiteWorker::RecordTally SiteWorker::StartRecordTally(std::size_t count) const {
  const std::span<const std::uint8_t> received = buffers_.Receive();
  const std::span<const std::uint8_t> raw = received.first(std::min(count, received.size()));
  return {processing_.lineCount,
          static_cast<std::uint64_t>(std::count(raw.begin(), raw.end(), kLineFeed))};
}

std::uint64_t SiteWorker::Records(const RecordTally& tally) const {
  // Line processing counts line ends only where it makes them CR LF; without
  // CorreggiCR the exchange's own LF bytes are the records (the CR LF put
  // before a connection's first header is none).
  return site_.correggiCR ? processing_.lineCount - tally.linesBefore : tally.rawLineFeeds;
}

std::size_t SiteWorker::ProcessAndStore(SiteEntry& entry, std::size_t count) {
  const RecordTally tally = StartRecordTally(count);
  const ChunkResult processed =
      ProcessChunk(buffers_, count, site_, entry.name, env_.clock, processing_);
  if (processed.bufferUnavailable) {
    ReportError(msg::kBufferAlloc, entry.name);
    env_.flags.stop = true;
    return 0;
  }
  if (processed.count > 0) StoreAndShow(entry, processed.count, Records(tally));
  return processed.count;
}

void SiteWorker::StoreAndShow(SiteEntry& entry, std::size_t count, std::uint64_t records) {
  const StorageContext storage{env_.files, env_.notifier, env_.flags, env_.clock};
  const std::span<const std::uint8_t> chunk = buffers_.Receive().first(count);
  StoreChunk(storage, site_, storage_, chunk);
  if (env_.status) {
    env_.status->SetLines(processing_.lineCount);
    env_.status->NoteStored(entry.name, records, chunk.size(), env_.clock.Now().seconds);
  }
  env_.notifier.Post(Message::kDisplay, static_cast<std::uint32_t>(count),
                     std::string(reinterpret_cast<const char*>(chunk.data()), chunk.size()));
}

void SiteWorker::NextRead() {
  if (buffers_.Available() && (reception_.count > 0 || !env_.flags.stop)) {
    IssueRead(site_.deviceType == DeviceType::kKstd ? 2 : lineState_.readChunkBytes);
  } else {
    reception_.readPending = false;
  }
}

bool SiteWorker::StatusQuery() {
  ExchangeLink link = Link();
  const StatusQueryResult result =
      QueryBoxStatus(link, buffers_.Receive(), lineState_.readChunkBytes);
  SetState(flow_.held ? WorkerState::kHeld : WorkerState::kReceiving);
  if (result.reading.numberRead) reception_.lastStatusMs = NowMs();
  return result.reading.mayEnd;
}

void SiteWorker::DrainReception(SiteEntry& entry) {
  if (!buffers_.Available() || !lineState_.line) return;
  if (IsSerialText()) Hold(true, true);
  const std::uint64_t drainStartMs = NowMs();
  for (;;) {
    // A read that completed while the stop came is stored first.
    if (!reception_.readCompleted) {
      if (!reception_.readPending || lineFault_.failed) break;
      if (NowMs() - drainStartMs >= kDrainBudgetMs) break;
      BoundPendingRead();
      CompleteRead();
    }
    ReceptionStep(entry);
    if (reception_.count == 0) break;
  }
  reception_.readPending = false;
  reception_.readCompleted = false;
  Hold(true, true);
}

}  // namespace vr
