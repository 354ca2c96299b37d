#pragma once
// A telephone exchange (or a plain buffer in front of one) printing call
// records on its serial port, one text line per call, and obeying the PC's
// flow control: XON/XOFF (after XOFF it finishes at most the character on the
// wire, after XON it goes on) or the DTR and RTS lines (it sends only while
// both are up), or none. Records not yet printed wait in the exchange, so a
// long hold loses nothing.
//
//   vr::sim::ExchangeConfig config;
//   config.generatedRecords = 20;                  // or config.records = {...}
//   config.intervalUs = 2 * vr::sim::kUsPerSecond; // one record every 2 s
//   config.flow = vr::sim::ExchangeFlow::kXonXoff;
//   vr::sim::Exchange exchange(config);
//   vr::sim::SimulatedLine line(clock, exchange);
//   ... run the recorder ...
//   EXPECT_EQ(ReadFile(dataFile), exchange.Sent());

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/device.h"
#include "sim/records.h"

namespace vr::sim {

enum class ExchangeFlow : std::uint8_t { kNone, kXonXoff, kDtrRts };

struct ExchangeConfig {
  // Record texts without line ends; when empty, records are generated.
  std::vector<std::string> records;
  int generatedRecords = 10;  // 0: without end
  std::uint32_t seed = 1;
  LineEnd lineEnd = LineEnd::kCrLf;
  TimeUs firstRecordUs = 0;   // when the first record may start
  TimeUs intervalUs = 0;      // between the starts of two records; 0: back to back
  ExchangeFlow flow = ExchangeFlow::kXonXoff;
  std::uint8_t xonChar = 0x11;
  std::uint8_t xoffChar = 0x13;
  std::uint32_t baud = 9600;
  // When not 0, a two-byte line end is cut: its second byte goes this long
  // after its first, so that a reader's time-out falls inside the pair.
  TimeUs lineEndPauseUs = 0;
};

class Exchange : public TransmittingDevice {
 public:
  explicit Exchange(ExchangeConfig config = {});

  void Receive(std::uint8_t byte, TimeUs nowUs) override;
  void SetPcLines(bool dtr, bool rts, TimeUs nowUs) override;
  void SetLinkUp(bool up, TimeUs nowUs) override;

  // Every byte printed so far, in order (since the last TakeSent).
  const std::string& Sent() const { return sent_; }
  // Hands over what Sent() holds and forgets it: a host that runs without end
  // keeps only what it has not passed on yet.
  std::string TakeSent() { return std::exchange(sent_, std::string()); }
  // Records printed completely, line end included.
  int RecordsSent() const { return recordsSent_; }
  // Every record has been printed (never for an endless exchange).
  bool Done() const;
  // Stopped by XOFF, by the control lines or by a link that is down.
  bool Held() const { return tx_.Held(); }
  // Characters take their time on the wire (not Unpace(), not in a burst).
  bool Paced() const { return tx_.CharUs() > 0; }
  // The next `records` records (the one under way included) go out back to
  // back and as fast as the host takes them, whatever the rate and baud;
  // then the exchange goes back to its pace, its rate counting from the end
  // of the burst. A burst given during another one replaces what is left of
  // it. A way to fill a recorder's overflow file quickly with real records.
  void Burst(int records);
  // Records of the burst still to go (0 when none is under way).
  int BurstLeft() const { return burstLeft_; }
  // Every byte the PC sent, flow control characters included.
  const std::string& Received() const { return received_; }

 protected:
  void OnSent(std::uint8_t byte, TimeUs atUs) override;
  void OnTxIdle(TimeUs atUs) override;

 private:
  void QueueNextRecord();
  int TotalRecords() const;

  ExchangeConfig config_;
  CallRecordGenerator generator_;
  int recordsQueued_ = 0;
  int recordsSent_ = 0;
  std::size_t bytesLeftInRecord_ = 0;
  TimeUs nextRecordUs_ = 0;  // when the next record queued may start
  int burstLeft_ = 0;
  std::string lineEndRest_;  // the part of a cut line end still to queue
  bool pacedBeforeBurst_ = true;
  std::string sent_;
  std::string received_;
};

}  // namespace vr::sim
