#include "devices/kestrel.h"

#include <algorithm>
#include <string_view>

#include "config/profile.h"
#include "log/strings.h"

namespace vr {
namespace {

bool WriteByte(Line& line, std::uint8_t byte) {
  return line.Write(std::span<const std::uint8_t>(&byte, 1)).bytes == 1;
}

// One byte, or nothing when the read time-out passed without one.
std::optional<std::uint8_t> ReadByte(Line& line) {
  std::uint8_t byte = 0;
  if (line.Read(std::span<std::uint8_t>(&byte, 1)).bytes != 1) return std::nullopt;
  return byte;
}

// Grows the buffer until it has at least the given size.
bool MakeRoom(BlockBuffer& buffer, std::size_t neededBytes) {
  while (buffer.Bytes().size() < neededBytes) {
    const std::size_t before = buffer.Bytes().size();
    if (!buffer.Grow() || buffer.Bytes().size() <= before) return false;
  }
  return true;
}

int FinishBlock(Line& line, std::span<std::uint8_t> bytes, std::size_t& count,
                std::size_t textBytes, std::uint8_t checksum) {
  count = textBytes;
  if (AdditiveChecksum(bytes.first(textBytes)) != checksum) return msg::kChecksum;
  bytes[textBytes] = 0;
  if (!AcknowledgeBlock(line)) return msg::kChecksum;
  return 0;
}

bool Stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

// A stop already set when the block began (the drain at the end of a
// connection) lets it complete; one set meanwhile gives it up.
struct StopWatch {
  const std::atomic<bool>* stop;
  bool atStart = Stopped(stop);
  bool Raised() const { return !atStart && Stopped(stop); }
};

int ReceiveTerminated(Line& line, BlockBuffer& buffer, std::size_t& count,
                      const std::atomic<bool>* stop) {
  const StopWatch stopped{stop};
  bool holdSeen = false;
  bool checksumCame = false;
  for (;;) {
    if (stopped.Raised() || count >= box::kMaxTerminatedBlockBytes) return msg::kBlockIncomplete;
    // Room for the byte and the NUL after it.
    if (!MakeRoom(buffer, count + 2)) return msg::kBufferAlloc;
    const auto byte = ReadByte(line);
    if (!byte) break;
    buffer.Bytes()[count++] = *byte;
    if (holdSeen) {
      checksumCame = true;
      break;
    }
    holdSeen = *byte == box::kHold;
  }
  // The end may also have come with the bytes handed in.
  const auto bytes = buffer.Bytes();
  const bool complete = checksumCame || (count >= 2 && bytes[count - 2] == box::kHold);
  if (!complete) return msg::kBlockIncomplete;
  const int result = FinishBlock(line, bytes, count, count - 2, bytes[count - 1]);
  if (result != 0) return result;
  // The box goes on sending after its 0x13 echo until it is held again; the
  // flow state stays as it is (the hold belongs to the block exchange).
  SendHoldCommand(line, true);
  return 0;
}

int ReceiveCounted(Line& line, BlockBuffer& buffer, std::size_t& count, std::size_t expected,
                   const std::atomic<bool>* stop) {
  if (expected == 0) return msg::kBlockLength;
  if (!MakeRoom(buffer, expected)) return msg::kBufferAlloc;
  const auto bytes = buffer.Bytes();
  const StopWatch stopped{stop};
  while (count < expected) {
    if (stopped.Raised()) return msg::kBlockLength;
    const IoResult r = line.Read(bytes.subspan(count, expected - count));
    if (r.bytes == 0) break;
    count += r.bytes;
  }
  if (count == expected) return FinishBlock(line, bytes, count, count - 1, bytes[count - 1]);
  // A 4096-byte body whose checksum byte did not come is checked against the
  // NUL that ends it.
  if (count == box::kMaxCountedFrame - 1 && count < expected)
    return FinishBlock(line, bytes, count, count, 0);
  return msg::kBlockLength;
}

std::size_t TextLength(std::span<const std::uint8_t> reply) {
  const auto nul = std::find(reply.begin(), reply.end(), std::uint8_t{0});
  return static_cast<std::size_t>(nul - reply.begin());
}

// Characters first..last (counted from 1) of the text read as a decimal number.
std::int32_t NumberAt(std::span<const std::uint8_t> text, std::size_t first, std::size_t last) {
  const auto part = text.subspan(first - 1, last - first + 1);
  return profile_text::ParseInt(
      std::string_view(reinterpret_cast<const char*>(part.data()), part.size()));
}

}  // namespace

std::uint8_t AdditiveChecksum(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (const std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(sum & 0xFFu);
}

bool SendResumeCommand(Line& line, bool statusForm) {
  const std::uint8_t command = statusForm ? box::kStatusRequest : box::kResume;
  const bool written = WriteByte(line, command);
  if (ReadByte(line) == command) return true;
  if (!written) WriteByte(line, command);
  return ReadByte(line) == command;
}

bool SendHoldCommand(Line& line, bool waitEcho) {
  if (!WriteByte(line, box::kHold)) return false;
  if (!waitEcho) return true;
  for (int read = 1; read <= box::kHoldEchoReads; ++read) {
    const auto byte = ReadByte(line);
    if (!byte) return false;
    // A box still sending may not have seen the command: say it again.
    if (read % box::kHoldResendEvery == 0) {
      WriteByte(line, box::kHold);
      continue;
    }
    if (*byte == box::kHold) return true;
  }
  return false;
}

bool AcknowledgeBlock(Line& line) {
  WriteByte(line, box::kAcknowledge);
  for (int read = 0; read < 2; ++read)
    if (ReadByte(line) == box::kAcknowledge) return true;
  return false;
}

int ReceiveBlock(Line& line, BlockBuffer& buffer, std::size_t& count, bool counted,
                 std::size_t expected, const std::atomic<bool>* stop) {
  count = std::min(count, buffer.Bytes().size());
  return counted ? ReceiveCounted(line, buffer, count, expected, stop)
                 : ReceiveTerminated(line, buffer, count, stop);
}

StatusReading ReadKstdStatus(std::span<const std::uint8_t> reply) {
  const auto text = reply.first(TextLength(reply));
  if (text.size() <= 14) return {};
  return {.numberRead = true, .mayEnd = NumberAt(text, 8, 14) < 20480};
}

StatusReading ReadBoxStatus(std::span<const std::uint8_t> reply,
                            std::optional<std::uint8_t> checksum) {
  const auto text = reply.first(TextLength(reply));
  if (!checksum || *checksum != AdditiveChecksum(text)) return {};
  // A reply that stops before its number is no answer either.
  if (text.size() < 11) return {};
  return {.numberRead = true, .mayEnd = NumberAt(text, 10, 11) < 1};
}

}  // namespace vr
