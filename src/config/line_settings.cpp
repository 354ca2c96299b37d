#include "config/line_settings.h"

#include "config/general_settings.h"
#include "config/site_settings.h"
#include "log/strings.h"

namespace vr {

LineSettingsResult ReadLineSettings(const Profile& file, std::string_view siteCode,
                                    LineSettings& line, Reporter& reporter) {
  const Profile profile = file.Snapshot();
  LineSettingsResult r;
  auto report = [&](int id) {
    reporter.Report(id, siteCode);
    r.result = msg::kSiteSettings;
  };
  auto readInt = [&](const char* key, std::int32_t def = kMissingNumber) {
    return profile.ReadInt(siteCode, key, def);
  };
  auto readString = [&](const char* key) {
    return profile.ReadString(siteCode, key, kMissingText, 258);
  };

  line.noControlPins = false;
  line.hardwareHandshakeActive = false;

  if (const auto modem = readInt("Modem"); modem == kMissingNumber)
    report(msg::kModem);
  else
    line.modem = modem;

  if (const std::string baud = readString("Baud"); IsMissing(baud)) {
    report(msg::kBaud);
  } else if (const std::int32_t value = profile_text::ParseInt(baud); value <= 1) {
    report(msg::kBaud);
  } else {
    line.baud = value;
    r.baudRead = true;
  }

  if (const auto bits = readInt("BitDati"); bits == kMissingNumber)
    report(msg::kBitDati);
  else
    line.dataBits = static_cast<std::uint32_t>(bits);

  if (const std::string parity = readString("Parita"); IsMissing(parity))
    report(msg::kParita);
  else
    line.parity = parity.empty() ? '\0' : ToUpperAscii(parity.substr(0, 1))[0];

  if (const auto stop = readInt("Stop"); stop == kMissingNumber)
    report(msg::kStop);
  else
    line.stopBits = stop;

  const std::string handshake = ToUpperAscii(readString("Handshake"));
  if (IsMissing(handshake)) {
    report(msg::kHandshake);
  } else if (handshake.find("NONE") != std::string::npos) {
    line.handshake = Handshake::kNone;
  } else if (handshake.find("XON") != std::string::npos) {
    line.handshake = Handshake::kXon;
  } else if (handshake.find("HDW") != std::string::npos) {
    line.handshake = Handshake::kHdw;
  } else {
    report(msg::kHandshake);
  }

  if (line.handshake == Handshake::kXon) {
    if (const auto xon = readInt("Xon"); xon == kMissingNumber)
      report(msg::kXon);
    else
      line.xonChar = static_cast<std::uint8_t>(xon);
    if (const auto xoff = readInt("Xoff"); xoff == kMissingNumber)
      report(msg::kXoff);
    else
      line.xoffChar = static_cast<std::uint8_t>(xoff);
    line.noControlPins = readString("NoPinDiControllo") == "1";
  }
  if (line.handshake == Handshake::kHdw) line.hardwareHandshakeActive = readInt("HSAttivo", 0) != 0;

  if (const auto seconds = readInt("TimeoutFineImp"); seconds == kMissingNumber)
    report(msg::kTimeoutFineImp);
  else
    line.endOfImportTimeoutMs = static_cast<std::uint32_t>(seconds) * 1000u;

  if (line.modem != 0) {
    // A longer text than the dialler takes is refused rather than cut: a cut
    // telephone number would dial somebody else.
    if (const std::string text = readString("StringaModem");
        IsMissing(text) || text.size() > kMaxModemText)
      report(msg::kStringaModem);
    else
      line.modemString = text;
    if (const std::string text = readString("NumeroTel");
        IsMissing(text) || text.size() > kMaxModemText)
      report(msg::kNumeroTel);
    else
      line.phoneNumber = text;
  }
  return r;
}

int CheckPortSettings(const LineSettings& line, std::string_view siteCode, Reporter& reporter) {
  int result = 0;
  if (line.parity != 'E' && line.parity != 'N' && line.parity != 'O') {
    reporter.Report(msg::kParita, siteCode);
    result = msg::kSiteSettings;
  }
  if (line.stopBits != 1 && line.stopBits != 2) {
    reporter.Report(msg::kStop, siteCode);
    result = msg::kSiteSettings;
  }
  return result;
}

}  // namespace vr
