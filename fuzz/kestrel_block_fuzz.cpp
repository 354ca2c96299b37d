// The Kestrel block receiver on a scripted far end chosen by the fuzzer: the
// block form (counted KSTD or terminated), the block length from the KSTD
// header, the bytes already in a buffer of any size and growth, bursts of
// bytes with pauses longer or shorter than the read time-out, the echoes of
// the acknowledge and the hold, and a stop raised at some read.
//
// Besides running clean under the sanitizers, the receiver must never
// acknowledge a block that is incomplete or whose checksum is wrong, must
// hand back exactly the bytes the line delivered, and must report success
// exactly when the acknowledge was written and echoed. The status readers
// get the same bytes as a reply.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "devices/kestrel.h"
#include "fuzz_check.h"
#include "line/forwarding_line.h"
#include "line/scripted_line.h"
#include "log/strings.h"

namespace {

using namespace vr;
using test::ScriptedLine;

// Sets the stop flag at the given read (1 = the first; 0 = never).
class StoppingLine final : public ForwardingLine {
 public:
  StoppingLine(ScriptedLine& line, std::atomic<bool>& stop, int stopAtRead)
      : ForwardingLine(std::make_unique<test::ScriptedLineHandle>(line)),
        stop_(stop),
        stopAtRead_(stopAtRead) {}
  IoResult Read(std::span<std::uint8_t> buffer) override {
    if (++reads_ == stopAtRead_) stop_ = true;
    return ForwardingLine::Read(buffer);
  }

 private:
  std::atomic<bool>& stop_;
  int stopAtRead_;
  int reads_ = 0;
};

std::uint8_t Sum(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (const std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(sum);
}

bool AllDigits(std::span<const std::uint8_t> text) {
  return std::all_of(text.begin(), text.end(), [](std::uint8_t c) { return c >= '0' && c <= '9'; });
}

long Number(std::span<const std::uint8_t> digits) {
  long n = 0;
  for (const std::uint8_t c : digits) n = n * 10 + (c - '0');
  return n;
}

// The status readers on the same bytes, as a reply of each form.
void CheckStatusReaders(std::span<const std::uint8_t> reply, std::optional<std::uint8_t> checksum) {
  const std::span<const std::uint8_t> kstd =
      reply.first(std::min(reply.size(), box::kKstdStatusBytes));
  const auto kstdText =
      kstd.first(static_cast<std::size_t>(std::find(kstd.begin(), kstd.end(), 0) - kstd.begin()));
  const StatusReading k = ReadKstdStatus(kstd);
  VR_FUZZ_CHECK(k.numberRead == (kstdText.size() > 14));
  VR_FUZZ_CHECK(!k.mayEnd || k.numberRead);
  if (k.numberRead && AllDigits(kstdText.subspan(7, 7)))
    VR_FUZZ_CHECK(k.mayEnd == (Number(kstdText.subspan(7, 7)) < 20480));

  const auto text = reply.first(
      static_cast<std::size_t>(std::find(reply.begin(), reply.end(), 0) - reply.begin()));
  const StatusReading b = ReadBoxStatus(reply, checksum);
  VR_FUZZ_CHECK(b.numberRead == (checksum && *checksum == Sum(text) && text.size() >= 11));
  VR_FUZZ_CHECK(!b.mayEnd || b.numberRead);
  if (b.numberRead && AllDigits(text.subspan(9, 2)))
    VR_FUZZ_CHECK(b.mayEnd == (Number(text.subspan(9, 2)) < 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool counted = in.ConsumeBool();
  // The KSTD header's N + 1, from the two header bytes (high byte first).
  const std::size_t expected = counted ? (std::size_t{in.ConsumeIntegral<std::uint8_t>()} << 8 |
                                          in.ConsumeIntegral<std::uint8_t>()) +
                                             in.ConsumeIntegralInRange<std::size_t>(0, 1)
                                       : 0;
  std::vector<std::uint8_t> storage(in.ConsumeIntegralInRange<std::size_t>(0, 64));
  const std::size_t step = in.ConsumeIntegralInRange<std::size_t>(0, 128);
  const std::size_t maxBytes =
      in.ConsumeBool() ? storage.size() + in.ConsumeIntegralInRange<std::size_t>(0, 6000)
                       : SIZE_MAX;
  VectorBlockBuffer buffer(storage, step, maxBytes);
  const std::vector<std::uint8_t> initial =
      in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, storage.size()));
  std::copy(initial.begin(), initial.end(), storage.begin());
  // A count beyond the buffer is cut to it.
  std::size_t count =
      initial.size() + in.ConsumeIntegralInRange<std::size_t>(0, 2) * storage.size();

  ManualClock clock;
  ScriptedLine scripted(clock);
  scripted.timeouts.readTotalMs = in.ConsumeIntegralInRange<std::uint32_t>(0, 40);
  std::atomic<bool> stop{in.ConsumeBool()};
  StoppingLine line(scripted, stop, in.ConsumeIntegralInRange<int>(0, 64));
  const std::string ackEcho = in.ConsumeRandomLengthString(3);
  const std::string holdEcho = in.ConsumeRandomLengthString(3);
  scripted.onWrite = [&](std::string_view written) {
    if (written == "\x17") scripted.Arrive(ackEcho);
    if (written == "\x13") scripted.Arrive(holdEcho);
  };
  std::uint64_t atMs = 0;
  while (in.remaining_bytes() > 0) {
    atMs += in.ConsumeIntegralInRange<std::uint64_t>(0, 60);
    scripted.Arrive(in.ConsumeRandomLengthString(600), atMs);
  }

  // What the receiver saw of the block: the bytes handed in and those read
  // before its first write; and what it read after that write.
  std::vector<std::uint8_t> seen(
      storage.begin(), storage.begin() + static_cast<long>(std::min(count, storage.size())));
  const int result = ReceiveBlock(line, buffer, count, counted, expected, &stop);

  std::vector<std::string> readsAfterAck;
  std::vector<std::string> writes;
  for (const ScriptedLine::Event& event : scripted.events) {
    if (event.kind == ScriptedLine::Event::Kind::kWrite) writes.push_back(event.bytes);
    if (event.kind != ScriptedLine::Event::Kind::kRead) continue;
    if (writes.empty())
      seen.insert(seen.end(), event.bytes.begin(), event.bytes.end());
    else if (writes.size() == 1)
      readsAfterAck.push_back(event.bytes);
  }
  // Where the block's text ends and whether its checksum holds, from what
  // was seen.
  std::optional<std::size_t> textBytes;
  bool checksumGood = false;
  if (counted) {
    if (expected > 0 && seen.size() == expected) {
      textBytes = expected - 1;
      checksumGood = Sum(std::span(seen).first(*textBytes)) == seen.back();
    } else if (seen.size() == box::kMaxCountedFrame - 1 && expected > seen.size()) {
      textBytes = seen.size();  // the missing checksum counts as a NUL
      checksumGood = Sum(seen) == 0;
    }
  } else if (seen.size() >= 2 && seen[seen.size() - 2] == box::kHold) {
    textBytes = seen.size() - 2;
    checksumGood = Sum(std::span(seen).first(*textBytes)) == seen.back();
  }
  const bool acknowledged = !writes.empty() && writes.front() == "\x17";
  bool echoed = false;
  for (std::size_t i = 0; i < readsAfterAck.size() && i < 2; ++i)
    echoed = echoed || readsAfterAck[i] == "\x17";

  if (counted)
    VR_FUZZ_CHECK(result == 0 || result == msg::kBufferAlloc || result == msg::kChecksum ||
                  result == msg::kBlockLength);
  else
    VR_FUZZ_CHECK(result == 0 || result == msg::kBufferAlloc || result == msg::kChecksum ||
                  result == msg::kBlockIncomplete);
  // Only a complete block with a good checksum is ever acknowledged; a block
  // given up writes nothing.
  if (acknowledged) VR_FUZZ_CHECK(textBytes && checksumGood);
  if (result != 0 && result != msg::kChecksum) VR_FUZZ_CHECK(writes.empty());
  if (result == msg::kChecksum) VR_FUZZ_CHECK(!checksumGood || (acknowledged && !echoed));
  VR_FUZZ_CHECK((result == 0) == (acknowledged && echoed));
  if (result == 0) {
    VR_FUZZ_CHECK(count == *textBytes);
    VR_FUZZ_CHECK(count < storage.size());
    VR_FUZZ_CHECK(storage[count] == 0);
    VR_FUZZ_CHECK(
        std::equal(seen.begin(), seen.begin() + static_cast<long>(count), storage.begin()));
    // A terminated box is held again after its block.
    if (!counted) VR_FUZZ_CHECK(writes.size() >= 2 && writes[1] == "\x13");
  }

  CheckStatusReaders(seen, seen.empty() ? std::nullopt : std::optional(seen.back()));
  return 0;
}
