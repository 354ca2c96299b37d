#pragma once
// The Kestrel call buffer boxes: they store the exchange's call records and
// hand them to the PC under its control with one-byte commands, each echoed.
//
//   0x11 resume   echo 0x11. KSTD: then one counted block: length N (2 bytes,
//                 high first), N bytes of text, checksum; N = 0 (and checksum
//                 0) when the box is empty. KSTA/B/C: then the stored text
//                 flows, record after record, until the PC holds.
//   0x13 hold     echo 0x13. KSTA/B/C in the middle of a block: the record
//                 being sent is finished first, then 0x13 and the checksum of
//                 the text sent since the resume; after a status text: 0x13
//                 and the checksum of the text. Otherwise the bare echo.
//   0x17 ack      echo 0x17; the block just sent leaves the box. A block that
//                 is not acknowledged is sent again at the next resume.
//   0x02 status   echo 0x02, then the status text. KSTD: 39 bytes, characters
//                 8 to 14 (from 1) a 7-digit number: the bytes still stored.
//                 KSTA/B/C: characters 10 and 11 the records still stored (at
//                 most 99); its checksum follows the next hold.
// The checksum is the sum of the text bytes modulo 256. A KSTD box ignores a
// resume while it is still sending (it does not echo it either); every other
// command that arrives while the box sends is answered after what is being
// sent. Other bytes are ignored.
//
//   vr::sim::KestrelConfig config;
//   config.model = vr::sim::KestrelModel::kKstd;
//   config.generatedRecords = 30;
//   vr::sim::KestrelBox box(config);
//   vr::sim::SimulatedLine line(clock, box);
//   box.InjectFault(vr::sim::BoxFault::kBadChecksum);   // the next block only
//   box.DropEcho(vr::sim::kBoxResume, 2);               // two resumes unanswered
//   ... download ...
//   EXPECT_EQ(dataFileText, box.Delivered());

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"
#include "sim/records.h"

namespace vr::sim {

enum class KestrelModel : std::uint8_t { kKsta, kKstb, kKstc, kKstd };

// "KSTA" .. "KSTD".
const char* KestrelModelName(KestrelModel model);
// Parses "KSTA" .. "KSTD" (any case); false for anything else.
bool ParseKestrelModel(std::string_view name, KestrelModel& model);

inline constexpr std::uint8_t kBoxResume = 0x11;
inline constexpr std::uint8_t kBoxStatus = 0x02;
inline constexpr std::uint8_t kBoxHold = 0x13;
inline constexpr std::uint8_t kBoxAck = 0x17;
inline constexpr std::size_t kKstdStatusBytes = 39;
inline constexpr std::size_t kKstdMaxBlockBytes = 4096;

// The sum of the bytes modulo 256.
std::uint8_t AdditiveChecksum(std::string_view bytes);

enum class BoxFault : std::uint8_t {
  kBadChecksum,  // the checksum of a block or a status text is one too high
  kShortBlock,   // KSTD: the block stops after half its text, no checksum;
                 // KSTA/B/C: the block ends without 0x13 and checksum
  kStrayBytes,   // KestrelConfig::strayBytes go out before the next answer
  kNoAnswer,     // a command is ignored altogether
};

struct KestrelConfig {
  KestrelModel model = KestrelModel::kKstd;
  // Record texts without line ends; when empty, records are generated.
  std::vector<std::string> records;
  int generatedRecords = 10;
  std::uint32_t seed = 1;
  LineEnd lineEnd = LineEnd::kCrLf;
  std::size_t blockMaxBytes = 1024;  // KSTD: the largest N, at most 4096
  TimeUs replyDelayUs = 1 * kUsPerMs;  // command to the first byte of its answer
  std::uint32_t baud = 9600;
  std::string strayBytes = "\xFE";
};

class KestrelBox : public TransmittingDevice {
 public:
  explicit KestrelBox(KestrelConfig config = {});

  void Receive(std::uint8_t byte, TimeUs nowUs) override;
  void SetLinkUp(bool up, TimeUs nowUs) override;

  // --- Test side ---
  // New calls stored in the box (texts without line ends), at `nowUs`.
  void AddRecords(const std::vector<std::string>& texts, TimeUs nowUs);
  // The next `times` occasions of `fault` (times < 0: every one from now on;
  // 0: none any more). A checksum or short-block fault counts blocks (and
  // status checksums), a stray-bytes fault answers, a no-answer fault commands.
  void InjectFault(BoxFault fault, int times = 1);
  // The next `times` echoes of `command` are not sent (times < 0: never again);
  // the command is still carried out.
  void DropEcho(std::uint8_t command, int times = 1);
  // Replaces the number of the status text (nullopt: the real count).
  void SetStatusNumber(std::optional<long> number) { statusNumber_ = number; }

  KestrelModel Model() const { return config_.model; }
  // Text not yet acknowledged by the PC.
  std::size_t StoredBytes() const { return store_.size(); }
  int StoredRecords() const { return static_cast<int>(recordSizes_.size()); }
  // The text the PC has acknowledged, in order: what its data file must hold.
  const std::string& Delivered() const { return delivered_; }
  // Every byte sent and received.
  const std::string& Sent() const { return sent_; }
  const std::string& Received() const { return received_; }
  int BlocksSent() const { return blocksSent_; }
  int BlocksAcknowledged() const { return blocksAcknowledged_; }
  // The status text the box would send now (without echo or checksum).
  std::string StatusText() const;

 protected:
  void OnSent(std::uint8_t byte, TimeUs atUs) override;
  void OnTxIdle(TimeUs atUs) override;

 private:
  enum class Phase : std::uint8_t { kIdle, kStreaming, kBlockClosed, kStatusSent };

  bool Counted() const { return config_.model == KestrelModel::kKstd; }
  bool TakeFault(BoxFault fault);
  void Answer(std::uint8_t echo, TimeUs nowUs);
  void Queue(std::string_view bytes, TimeUs nowUs);
  void Queue(std::uint8_t byte, TimeUs nowUs);
  void StoreRecord(const std::string& text);
  void Acknowledge(std::size_t bytes);
  void SendCountedBlock(TimeUs nowUs);
  void StreamNextRecord(TimeUs nowUs);
  void CloseBlock(TimeUs nowUs);

  KestrelConfig config_;
  std::string store_;                    // text not yet acknowledged
  std::vector<std::size_t> recordSizes_;  // of the records in store_, front first
  Phase phase_ = Phase::kIdle;
  std::size_t streamedBytes_ = 0;   // KSTA/B/C: block text queued since the resume
  std::size_t outstandingBytes_ = 0;  // text of the block awaiting its ack
  std::uint8_t statusChecksum_ = 0;
  std::optional<long> statusNumber_;
  int faultTimes_[4] = {};  // by BoxFault
  int dropEcho_[256] = {};  // by command byte
  std::string delivered_;
  std::string sent_;
  std::string received_;
  int blocksSent_ = 0;
  int blocksAcknowledged_ = 0;
};

}  // namespace vr::sim
