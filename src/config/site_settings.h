#pragma once
// A site's acquisition settings, read at the start of every connection.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/profile.h"
#include "config/reporter.h"
#include "config/settings.h"

namespace vr {

enum class MissingKeys {
  kStopAtFirst,  // a connection's start: the first missing key ends the reading
  kReportEvery,  // `--check`: every missing key is reported, the reading goes on
};

// Reads the site's section into settings in the fixed key order. At the first
// missing required key it reports that key's id with the site code and returns
// false; the fields read so far keep their new values, the later ones their
// old ones (the six paths having been cleared first). programDir is where the
// overflow files lie. With kReportEvery every missing key is reported, in the
// same order, and the result is false when any was.
bool ReadSiteSettings(const Profile& profile, std::string_view siteCode,
                      std::string_view programDir, SiteSettings& settings, Reporter& reporter,
                      MissingKeys missing = MissingKeys::kStopAtFirst);

// The overflow file of a data file: programDir, separator, the site code, the
// data file's name without its four-character extension, and the suffix
// ("_D.TXT", "_B.TXT" or "_S.TXT").
std::string OverflowPath(std::string_view programDir, std::string_view siteCode,
                         std::string_view dataPath, std::string_view suffix);

// CharToDel: pairs of hexadecimal digits (0-9, A-F). An odd length gives an
// empty list; a bad pair empties the list. At most 127 bytes are kept.
std::vector<std::uint8_t> ParseCharToDel(std::string_view value);

// CRLFAlternativo: the byte of the first two characters, or nothing when
// either is not an accepted hexadecimal digit.
std::optional<std::uint8_t> ParseCrlfAlternativo(std::string_view value);

// The device type named by Dispositivo (upper-cased, searched for COM, BUFF,
// KSTA, KSTB, KSTC, KSTD, TCPIP, AVAYA in that order), kNone when none matches.
DeviceType DeviceTypeFromName(std::string_view value);

// SIntervalRead: milliseconds as plain decimal digits (blanks around them
// allowed), at most 32 bits; nothing for any other text, a sign included.
std::optional<std::uint32_t> ParseIntervalRead(std::string_view value);

// The interval time-out a site's reads get: its SIntervalRead on a direct
// (Modem=0) COM, BUFF or TCPIP line read in the ordinary way, 0 for every
// other: a modem line and the box protocols keep their reads.
std::uint32_t ReadIntervalOf(const SiteSettings& site, std::int32_t modemFlag);

// Upper-cases ASCII letters.
std::string ToUpperAscii(std::string_view text);

}  // namespace vr
