#pragma once
// The configuration records: general settings, the site list and the sites
// menu, one site's acquisition settings and its serial line settings.

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace vr {

// Every string key is read with this default; a result containing it means
// the key is missing.
inline constexpr const char* kMissingText = "*ZIOMIO*";
// Every numeric key is read with this default, which means missing.
inline constexpr std::int32_t kMissingNumber = -10;

inline constexpr const char* kDisplayName = "Vesper Recorder";
inline constexpr const char* kConfigFileName = "VESPREC.INI";

struct GeneralSettings {
  std::string com;          // serial port served by this instance
  std::string log;          // error log path
  int noVisible = 0;        // 0 shown, 1 never shown, 2 hidden at start
  std::string windowTitle;  // "Vesper Recorder " + com
};

struct SiteEntry {
  std::int32_t ricorrenza = 0;  // 0 continuous, < 0 periodic, > 0 weekday mask
  std::string name;             // the section name: the site code
  std::int64_t nextRun = 0;     // local seconds since 1601-01-01
  std::uint8_t enabled = 0;     // SitoAbilitato
  std::int32_t ogni = 0;        // seconds
};

// Sites in file order. A std::list keeps entries in place while others are
// dropped, so a reference to the current site stays valid.
using SiteList = std::list<SiteEntry>;

inline constexpr int kFirstSiteItemId = 40500;

struct SitesMenuItem {
  int id = 0;  // kFirstSiteItemId + position of the site in the file
  std::string text;
  bool grayed = false;
};
using SitesMenu = std::vector<SitesMenuItem>;

enum class DeviceType : std::int32_t {
  kNone = 0,
  kCom = 5,  // also BUFF
  kKsta = 6,
  kKstb = 7,
  kKstc = 8,
  kKstd = 9,
  kTcpip = 10,
  kAvaya = 11,
};

struct SiteSettings {
  std::vector<std::uint8_t> charToDel;  // at most 127 bytes
  std::uint8_t crlfAlternativo = 0;
  std::string dati, datiOverflow;
  std::string dati2, dati2Overflow;
  std::string storico, storicoOverflow;
  std::uint32_t aggData = 0;
  std::uint32_t aggOra = 0;
  std::uint32_t eliminaNull = 0;
  std::uint32_t correggiCR = 0;
  std::uint32_t flagCRLF = 0;  // 0, 10 or 13
  std::uint32_t importazione = 0;
  std::uint32_t sTimeReadMs = 0;
  std::uint32_t sTimeWriteMs = 0;
  std::uint32_t mTimeReadMs = 0;
  std::uint32_t mTimeWriteMs = 0;
  std::uint32_t fileTimeoutMs = 0;
  std::uint32_t spazioTimeoutMb = 0;
  bool startStop = false;
  bool lineHeader = true;
  DeviceType deviceType = DeviceType::kNone;
  bool metodoAlternativo = false;
  // Sincronizza: every stored chunk is flushed to the disk before the
  // exchange is released. Optional, off when absent.
  bool sincronizza = false;
  // SIntervalRead, milliseconds: a read of a direct COM, BUFF or TCPIP line
  // ends once this long passes without a byte after one has come. 0 (also
  // absent or unreadable): reads end on their count or STimeRead only.
  std::uint32_t sIntervalReadMs = 0;
};

enum class Handshake : std::int32_t { kUnset = 0, kNone = 1, kXon = 2, kHdw = 3 };

struct LineSettings {
  std::int32_t modem = 0;
  std::int32_t baud = 0;
  std::uint32_t dataBits = 0;
  char parity = 0;
  std::int32_t stopBits = 0;
  Handshake handshake = Handshake::kUnset;
  std::uint8_t xonChar = 0x11;
  std::uint8_t xoffChar = 0x13;
  bool noControlPins = false;
  bool hardwareHandshakeActive = false;
  std::uint32_t endOfImportTimeoutMs = 0;
  std::string modemString;  // at most 99 characters
  std::string phoneNumber;  // at most 99 characters
};

}  // namespace vr
