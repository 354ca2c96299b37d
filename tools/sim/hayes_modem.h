#pragma once
// A Hayes-command modem between the PC and a remote device (an Exchange or
// a KestrelBox at the far end of the telephone line).
//
// Command mode: every line ending with CR is a command. Line feeds and blanks
// are ignored, so the PC's "\n\r" line ends work. "at..." commands are
// answered "\r\nOK\r\n" (with the characters echoed first, as after at&f);
// "atd..." or a line that is only a telephone number dials; "ath" hangs up;
// "ato" goes back on line; anything else gets "\r\nERROR\r\n". A silent
// modem (answers = false) neither echoes nor answers.
// Dialling: after connectDelayUs the carrier comes up and "\r\nCONNECT
// <baud>\r\n" is sent; or "\r\nNO CARRIER\r\n" comes after noCarrierDelayUs;
// or nothing ever happens. A character from the PC while dialling aborts.
// The remote device starts remoteStartUs after CONNECT.
// Data mode: bytes pass through both ways. One second of silence, "+++",
// one second of silence gives "\r\nOK\r\n" and command mode with the carrier
// kept (the remote device is held meanwhile). Dropping DTR hangs up.
//
//   vr::sim::Exchange exchange;
//   vr::sim::ModemConfig config;
//   config.connectDelayUs = 20 * vr::sim::kUsPerSecond;
//   vr::sim::HayesModem modem(exchange, config);
//   vr::sim::SimulatedLine line(clock, modem);
//   ... DialModem(...) ...
//   modem.DropCarrier(line.NowUs());   // the telephone line is cut

#include <cstdint>
#include <string>
#include <vector>

#include "sim/device.h"

namespace vr::sim {

enum class DialResult : std::uint8_t { kConnect, kNoCarrier, kNothing };

struct ModemConfig {
  bool answers = true;  // false: a dead modem
  bool echo = true;     // command characters are echoed
  DialResult dialResult = DialResult::kConnect;
  TimeUs connectDelayUs = 15 * kUsPerSecond;    // dial command to carrier
  TimeUs noCarrierDelayUs = 45 * kUsPerSecond;  // dial command to NO CARRIER
  TimeUs guardUs = 1 * kUsPerSecond;            // silence around "+++"
  TimeUs replyDelayUs = 2 * kUsPerMs;           // command to its result code
  // From the end of CONNECT until the remote device hears the PC and talks:
  // the far modem's own training, so no record follows CONNECT in the same
  // read of the dialler.
  TimeUs remoteStartUs = 2 * kUsPerSecond;
  std::uint32_t baud = 9600;
  bool hangUpOnDtrDrop = true;  // as after at&d2
};

class HayesModem : public Device {
 public:
  // `remote` must outlive the modem.
  HayesModem(Device& remote, ModemConfig config = {});

  TimeUs NextEventUs() const override;
  void RunUntil(TimeUs nowUs, ByteSink& out) override;
  void Receive(std::uint8_t byte, TimeUs nowUs) override;
  void SetPcLines(bool dtr, bool rts, TimeUs nowUs) override;
  bool Carrier() const override { return carrier_; }

  // --- Test side ---
  // The telephone line is cut at `nowUs` (take it from SimulatedLine::NowUs).
  void DropCarrier(TimeUs nowUs);
  void SetAnswers(bool answers) { config_.answers = answers; }
  void SetDialResult(DialResult result) { config_.dialResult = result; }
  // Data passes through (carrier up and not in command mode).
  bool InDataMode() const { return mode_ == Mode::kData; }
  int Dials() const { return dials_; }
  int HangUps() const { return hangUps_; }
  // Command lines received, without line feeds and the CR.
  const std::vector<std::string>& Commands() const { return commands_; }

 private:
  enum class Mode : std::uint8_t { kCommand, kDialling, kData, kOnlineCommand };
  enum class Timer : std::uint8_t { kNone, kConnect, kNoCarrier, kEscape, kRemoteStart };
  class Forward;

  void Reply(const std::string& text, TimeUs nowUs);
  void Command(TimeUs nowUs);
  void Dial(TimeUs nowUs);
  void HangUp(TimeUs nowUs, const char* reply);
  void SetTimer(Timer timer, TimeUs atUs);
  void OnTimer(TimeUs atUs);
  void SetRemoteLink(bool up, TimeUs nowUs);
  void StartRemoteAfterReply(TimeUs delayUs, TimeUs nowUs);
  void DataByte(std::uint8_t byte, TimeUs nowUs);

  Device& remote_;
  ModemConfig config_;
  Transmitter tx_;
  Mode mode_ = Mode::kCommand;
  bool carrier_ = false;
  bool remoteLinkUp_ = false;
  bool linkAfterReply_ = false;  // start the remote once CONNECT is out
  TimeUs remoteStartDelayUs_ = 0;  // ... this long after it
  bool dtr_ = true;
  Timer timer_ = Timer::kNone;
  TimeUs timerUs_ = kNeverUs;
  std::string line_;
  int plusCount_ = 0;
  TimeUs lastDataUs_ = 0;
  int dials_ = 0;
  int hangUps_ = 0;
  std::vector<std::string> commands_;
};

}  // namespace vr::sim
