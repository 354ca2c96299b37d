#pragma once
// The program's string table.

#include <string>
#include <string_view>

namespace vr {

// Message ids that code names directly.
namespace msg {
constexpr int kConfigUnusable = 5001;
constexpr int kStarting = 5002;
constexpr int kClosing = 5003;
constexpr int kSystemErrorPrefix = 5005;
constexpr int kQuitQuestion = 5006;
constexpr int kPourBackMemory = 5007;
constexpr int kPourBackFailed = 5008;
constexpr int kDataFileWrite = 5009;
constexpr int kSiteDropped = 5010;
constexpr int kPortClosed = 5012;
constexpr int kAboutCaption = 5015;
constexpr int kLinesReceived = 5016;
constexpr int kDispositivo = 5017;
constexpr int kModem = 5018;
constexpr int kBaud = 5019;
constexpr int kBitDati = 5020;
constexpr int kParita = 5021;
constexpr int kStop = 5022;
constexpr int kHandshake = 5023;
constexpr int kXon = 5024;
constexpr int kXoff = 5025;
constexpr int kTimeoutFineImp = 5026;
constexpr int kStringaModem = 5027;
constexpr int kNumeroTel = 5028;
constexpr int kDati = 5029;
constexpr int kDati2 = 5030;
constexpr int kStorico = 5031;
constexpr int kAggData = 5032;
constexpr int kAggOra = 5033;
constexpr int kEliminaNull = 5034;
constexpr int kCorreggiCR = 5035;
constexpr int kFlagCRLF = 5036;
constexpr int kImportazione = 5037;
constexpr int kSTimeRead = 5038;
constexpr int kSTimeWrite = 5039;
constexpr int kMTimeRead = 5040;
constexpr int kMTimeWrite = 5041;
constexpr int kFileTimeout = 5042;
constexpr int kSpazioTimeout = 5043;
constexpr int kNoSections = 5044;
constexpr int kCom = 5045;
constexpr int kLog = 5046;
constexpr int kOgni = 5047;
constexpr int kSitoAbilitato = 5048;
constexpr int kRicorrenza = 5049;
constexpr int kOra = 5050;
constexpr int kDataFileNotAccessible = 7001;
constexpr int kOverflowOpen = 7002;
constexpr int kOverflowWrite = 7003;
constexpr int kDiskSpace = 7004;
constexpr int kPortConnect = 7005;
constexpr int kSiteSettings = 7006;
constexpr int kDataFilesCreate = 7007;
constexpr int kBufferAlloc = 7008;
constexpr int kPortSetup = 7009;
constexpr int kModemConnect = 7010;
constexpr int kSerialQueue = 7011;
constexpr int kDataFileUnavailable = 9001;
constexpr int kOverflowUnavailable = 9002;
constexpr int kBlockIncomplete = 9003;
constexpr int kChecksum = 9004;
constexpr int kStatusReply = 9005;
constexpr int kBlockLength = 9006;
}  // namespace msg

// The text of a string id (UTF-8), or an empty view for an unknown id.
std::string_view MessageText(int id);

// The configuration's missing-key texts follow one pattern; this builds it for
// any key name (the table holds the ones the program reports).
std::string MissingKeyText(std::string_view key);

}  // namespace vr
