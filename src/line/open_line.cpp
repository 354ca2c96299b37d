#include "line/open_line.h"

#include <limits>
#include <string>

#include "config/line_settings.h"
#include "config/reporter.h"
#include "config/general_settings.h"
#include "config/site_settings.h"
#include "line/modem.h"
#include "line/tcp_line.h"
#include "log/strings.h"

namespace vr {
namespace {

// Posts each configuration problem to the main window, which logs it, and
// notes whether a key read after Baud was faulty: such a fault decides the
// attempt's result over a failed buffer sizing, which comes right after Baud.
class PostingReporter final : public Reporter {
 public:
  explicit PostingReporter(Notifier& notifier) : notifier_(notifier) {}
  void Report(int id, std::string_view siteCode) override {
    notifier_.Post(Message::kError, static_cast<std::uint32_t>(id), std::string(siteCode));
    if (id != msg::kModem && id != msg::kBaud) faultAfterBaud = true;
  }
  bool faultAfterBaud = false;

 private:
  Notifier& notifier_;
};

bool IsBox(DeviceType device) {
  return device == DeviceType::kKsta || device == DeviceType::kKstb ||
         device == DeviceType::kKstc || device == DeviceType::kKstd;
}

struct AttemptResult {
  int result = 0;
  std::uint32_t systemError = 0;  // for the 7005, 7009 and 7011 reports
};

AttemptResult Attempt(LineEnvironment& env, std::string_view siteCode, SiteSettings& site,
                      LineSettings& ls, LineState& state, std::int32_t& budget, bool synchronous) {
  AttemptResult r;
  state.line = env.open(env.portName, &r.systemError);
  if (!state.line) {
    r.result = msg::kPortConnect;
    return r;
  }
  Line& line = *state.line;
  line.GetSettings(state.openingSettings);
  line.GetSettings(state.activeSettings);

  PostingReporter reporter(env.notifier);
  const LineSettingsResult read = ReadLineSettings(env.profile, siteCode, ls, reporter);
  r.result = read.result;
  if (read.baudRead) {
    state.readChunkBytes = SizeReadChunk(ls.baud, ls.modem, site);
    const bool sized = env.resizeBuffers ? env.resizeBuffers(state.readChunkBytes) : true;
    if (!sized && !reporter.faultAfterBaud) r.result = msg::kBufferAlloc;
  }
  if (r.result != 0) return r;

  PortSettings& port = state.activeSettings;
  ApplyFlowControl(site.deviceType, ls, port);
  r.result = CheckPortSettings(ls, siteCode, reporter);
  if (ls.parity == 'E') port.parity = ParityMode::kEven;
  if (ls.parity == 'N') port.parity = ParityMode::kNone;
  if (ls.parity == 'O') port.parity = ParityMode::kOdd;
  if (ls.stopBits == 1) port.stopBits = StopBitsMode::kOne;
  if (ls.stopBits == 2) port.stopBits = StopBitsMode::kTwo;
  port.baud = static_cast<std::uint32_t>(ls.baud);
  port.byteSize = static_cast<std::uint8_t>(ls.dataBits & 0xFFu);
  port.xonChar = ls.xonChar;
  port.xoffChar = ls.xoffChar;
  port.errorChar = kPortErrorChar;
  port.eofChar = kPortEofChar;
  port.binary = true;
  port.parityCheck = true;
  port.errorCharOn = false;
  port.discardNull = (site.eliminaNull & 1u) != 0;
  port.abortOnError = false;

  state.timeouts = SetLineTimeouts(ls.modem, site);
  if (!line.SetTimeouts(state.timeouts)) {
    r.result = msg::kPortSetup;
    r.systemError = line.LastError();
  }
  if (r.result == 0) {
    if (!line.SetSettings(port)) {
      r.result = msg::kPortSetup;
      r.systemError = line.LastError();
    } else if (site.deviceType == DeviceType::kKstd && !line.SetQueues(kKstdInputQueueBytes, 0)) {
      r.result = msg::kSerialQueue;
      r.systemError = line.LastError();
    }
  }
  if (r.result != 0 || ls.modem == 0 || synchronous) return r;

  ModemLink link{.line = line,
                 .timeouts = state.timeouts,
                 .afterTimeouts = SetLineTimeouts(ls.modem, site),
                 .clock = env.clock,
                 .stop = env.stop,
                 .slave = env.slave,
                 .pumpMessages = env.pumpMessages};
  if (!DialModem(link, ls.modemString, ls.phoneNumber, budget)) r.result = msg::kModemConnect;
  return r;
}

void ReportFailure(Notifier& notifier, std::string_view siteCode, const AttemptResult& r) {
  const std::string site(siteCode);
  notifier.Post(Message::kError, msg::kPortConnect, site);
  switch (r.result) {
    case msg::kSiteSettings:
      break;
    case msg::kBufferAlloc:
    case msg::kModemConnect:
      notifier.Post(Message::kError, static_cast<std::uint32_t>(r.result), site);
      break;
    default:  // 7005, 7009, 7011
      notifier.Post(Message::kSystemError, r.systemError, site);
      break;
  }
}

}  // namespace

LineOpener SystemLineOpener(const Profile& profile) {
  return [&profile](const std::string& name, std::uint32_t* error) -> std::unique_ptr<Line> {
    if (!IsTcpPortName(name)) return OpenSystemLine(name, error);
    static const SystemClock clock;
    TcpLineOptions options;
    const std::string allowed = profile.ReadString("General", kAllowedPeersKey, kMissingText);
    if (!IsMissing(allowed)) {
      std::vector<std::string> bad;
      options.allowedPeers = ParseAllowedPeers(allowed, &bad);
      // A list of nothing but typing errors allows nobody, not everybody
      // (no address reads as "-").
      if (options.allowedPeers.empty() && !bad.empty()) options.allowedPeers.push_back("-");
    }
    return OpenTcpLine(name, error, clock, std::move(options));
  };
}

LineTimeouts SetLineTimeouts(std::int32_t modemFlag, const SiteSettings& site) {
  if (modemFlag == 1) return {.readTotalMs = site.mTimeReadMs, .writeTotalMs = site.mTimeWriteMs};
  return {.readTotalMs = site.sTimeReadMs,
          .writeTotalMs = site.sTimeWriteMs,
          .readIntervalMs = ReadIntervalOf(site, modemFlag)};
}

std::uint32_t SizeReadChunk(std::int32_t baud, std::int32_t modemFlag, SiteSettings& site) {
  const std::int32_t bytesPerSecond = baud / 8 > 0 ? baud / 8 : 0;
  std::uint32_t& readTimeoutMs = modemFlag != 0 ? site.mTimeReadMs : site.sTimeReadMs;
  if (site.deviceType == DeviceType::kKstd) {
    // Long enough for 6000 bytes at the line's speed, plus 2 s.
    constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t floorMs = kMax;
    if (bytesPerSecond > 0) {
      const double ms = (6000.0 / bytesPerSecond + 2.0) * 1000.0;
      if (ms < static_cast<double>(kMax)) floorMs = static_cast<std::uint32_t>(ms);
    }
    if (readTimeoutMs < floorMs) readTimeoutMs = floorMs;
    return kKstdReadChunkBytes;
  }
  // What can arrive within one read time-out plus a second.
  return (readTimeoutMs / 1000 + 1) * static_cast<std::uint32_t>(bytesPerSecond);
}

void ApplyFlowControl(DeviceType device, const LineSettings& line, PortSettings& port) {
  if (IsBox(device)) {
    port.outxCtsFlow = false;
    port.outxDsrFlow = false;
    port.dtrControl = DtrControl::kHandshake;
    port.outX = port.inX = false;
    port.rtsControl = RtsControl::kHandshake;
    return;
  }
  if (device != DeviceType::kCom) return;  // TCPIP keeps the port's own
  switch (line.handshake) {
    case Handshake::kNone:
      port.outxCtsFlow = port.outxDsrFlow = false;
      port.dtrControl = DtrControl::kDisable;
      port.outX = port.inX = false;
      port.rtsControl = RtsControl::kDisable;
      break;
    case Handshake::kXon:
      port.outxCtsFlow = port.outxDsrFlow = false;
      if (line.noControlPins) {
        // The exchange is held with XOFF written by the recorder; the
        // driver does no flow control and the control lines stay up.
        port.dtrControl = DtrControl::kEnable;
        port.dsrSensitivity = false;
        port.outX = port.inX = false;
        port.rtsControl = RtsControl::kEnable;
      } else {
        port.dtrControl = DtrControl::kDisable;
        port.outX = port.inX = true;
        port.rtsControl = RtsControl::kDisable;
      }
      break;
    case Handshake::kHdw:
      port.outxCtsFlow = port.outxDsrFlow = true;
      port.outX = port.inX = false;
      if (line.hardwareHandshakeActive) {
        port.dtrControl = DtrControl::kHandshake;
        port.dsrSensitivity = false;
        port.rtsControl = RtsControl::kHandshake;
      } else {
        port.dtrControl = DtrControl::kDisable;
        port.rtsControl = RtsControl::kDisable;
      }
      break;
    case Handshake::kUnset:
      break;
  }
}

int OpenLine(LineEnvironment& env, std::string_view siteCode, SiteSettings& site,
             LineSettings& lineSettings, LineState& state, std::int32_t attempts,
             bool synchronous) {
  state.line.reset();
  AttemptResult r;
  // No exception may leave the line module; one raised while opening counts
  // as a failed connection to the port.
  try {
    for (;;) {
      r = Attempt(env, siteCode, site, lineSettings, state, attempts, synchronous);
      if (r.result == 0) return 0;
      --attempts;
      if (r.result != msg::kPortConnect) state.line.reset();
      if (r.result == msg::kSiteSettings) attempts = 0;  // a configuration fault is not retried
      if (attempts <= 0 || env.stop.load()) break;
    }
  } catch (...) {
    state.line.reset();
    r.result = msg::kPortConnect;
  }
  ReportFailure(env.notifier, siteCode, r);
  return r.result;
}

void CloseLine(LineState& state) {
  if (!state.line) return;
  PortSettings restore = state.openingSettings;
  restore.dtrControl = DtrControl::kDisable;
  restore.rtsControl = RtsControl::kDisable;
  if (!state.line->SetSettings(restore)) {
    // The lines must drop even when the port refuses the old settings.
    state.line->SetDtr(false);
    state.line->SetRts(false);
  }
  state.line.reset();
}

}  // namespace vr
