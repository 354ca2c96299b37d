#include "app/check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "base/civil_time.h"
#include "line/socket.h"
#include "log/strings.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

const std::string kGeneral = "[General]\r\nCom=PORT\r\nLog=LOGFILE\r\n";

std::string Site(const std::string& name, const std::string& schedule,
                 const std::string& extra = "") {
  return "[" + name + "]\r\n" + schedule +
         "Dati=dati.txt\r\nDati2=dati2.txt\r\nStorico=storico.txt\r\nAggData=1\r\nAggOra=1\r\n"
         "EliminaNull=0\r\nCorreggiCR=1\r\nFlagCRLF=0\r\nImportazione=3\r\nSTimeRead=10\r\n"
         "STimeWrite=10\r\nMTimeRead=10\r\nMTimeWrite=10\r\nFileTimeout=60\r\n"
         "SpazioTimeout=50\r\nDispositivo=COM\r\nModem=0\r\nBaud=9600\r\nBitDati=8\r\n"
         "Stop=1\r\nHandshake=XON\r\nXon=17\r\nXoff=19\r\nTimeoutFineImp=30\r\n" +
         extra;
}

// The site's section without one key line.
std::string Without(std::string section, const std::string& keyLine) {
  const std::size_t at = section.find(keyLine + "\r\n");
  EXPECT_NE(at, std::string::npos) << keyLine;
  return section.erase(at, keyLine.size() + 2);
}

std::string Replaced(std::string section, const std::string& from, const std::string& to) {
  const std::size_t at = section.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return section.replace(at, from.size(), to);
}

const std::string kContinuous = "Ogni=0\r\nSitoAbilitato=1\r\nRicorrenza=0\r\nOra=x\r\n";
const std::string kPeriodic =
    "Ogni=3600\r\nSitoAbilitato=1\r\nRicorrenza=-1\r\nOra=08:00 01/01/2010\r\n";

std::string Line(const std::string& site, int id, const std::string& detail = "") {
  return (site.empty() ? "" : site + ": ") + std::string(MessageText(id)) +
         (detail.empty() ? "" : " (" + detail + ")") + "\n";
}

// The 1-based number of the line of text that holds part.
std::size_t LineNumberOf(const std::string& text, const std::string& part) {
  const std::size_t at = text.find(part);
  EXPECT_NE(at, std::string::npos) << part;
  return static_cast<std::size_t>(std::count(text.begin(), text.begin() + at, '\n')) + 1;
}

class CheckTest : public ::testing::Test {
 protected:
  int Check(const std::string& ini) {
    if (!ini.empty()) dir.Write("VESPREC.INI", ini);
    std::ostringstream o, e;
    CheckProbes probes;
    probes.port = [this](const std::string& com) {
      ports.push_back(com);
      return portProbe;
    };
    probes.appendableFile = [this](const std::string& path) {
      const auto it = fileProbes.find(path);
      return it == fileProbes.end() ? ProbeResult{} : it->second;
    };
    const int status = RunConfigurationCheck(dir.Path(), o, e, clock, probes);
    out = o.str();
    err = e.str();
    return status;
  }

  test::TempDir dir;
  ManualClock clock{ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0})};
  std::string out, err;
  ProbeResult portProbe;
  std::map<std::string, ProbeResult> fileProbes;
  std::vector<std::string> ports;
};

TEST_F(CheckTest, GoodFileListsEachSiteWithItsNextDueTime) {
  const std::string ini = kGeneral + Site("0001", kContinuous, "Parita=N\r\n") +
                          Site("0002", kPeriodic, "Parita=e\r\n") +
                          Site("0003", "Ogni=604800\r\nSitoAbilitato=0\r\nRicorrenza=2\r\n"
                                       "Ora=09:00 04/01/2010\r\n",
                               "Parita=O\r\n");
  EXPECT_EQ(Check(ini), 0) << out << err;
  EXPECT_EQ(out,
            "0001  10.30 01-01-2010p  continuous\n"
            "0002  11.00 01-01-2010p  periodic\n"
            "0003  09.00 04-01-2010p  weekly (disabled)\n");
  EXPECT_EQ(ports, std::vector<std::string>{"PORT"});
  // Nothing written: the file is unchanged and no log was made.
  EXPECT_EQ(dir.Read("VESPREC.INI"), ini);
  EXPECT_FALSE(std::filesystem::exists(dir.File("LOGFILE")));
}

TEST_F(CheckTest, ListsEveryProblemOfEverySectionInFileOrder) {
  // W: no usable schedule (the start-up drops it), no Dati, no BitDati and
  // a wrong parity: every one of them is listed, under W, where W stands.
  const std::string w = Without(
      Site("W", "Ogni=0\r\nSitoAbilitato=1\r\nRicorrenza=-5\r\nOra=08:00 01/01/2010\r\n",
           "Parita=X\r\n"),
      "Dati=dati.txt");
  const std::string noSchedule = Without(
      Without(Without(Site("S", kContinuous, "Parita=N\r\n"), "Ogni=0"), "Ora=x"), "AggOra=1");
  const std::string b =
      Without(Replaced(Site("B", kContinuous, "Parita=N\r\n"), "Baud=9600", "Baud=fast"),
              "BitDati=8");
  const std::string ini = kGeneral + Site("A", kContinuous, "Parita=N\r\n") + w + noSchedule + b;
  EXPECT_EQ(Check(ini), 1);
  EXPECT_EQ(out, Line("W", msg::kOgni) + Line("W", msg::kSiteDropped) + Line("W", msg::kDati) +
                     Line("W", msg::kParita) +                                     //
                     Line("S", msg::kOgni) + Line("S", msg::kOra) +
                     Line("S", msg::kSiteDropped) + Line("S", msg::kAggOra) +      //
                     Line("B", msg::kBaud) + Line("B", msg::kBitDati) +            //
                     "A  10.30 01-01-2010p  continuous\n");
}

TEST_F(CheckTest, APortSettingAlreadyReportedAsMissingIsListedOnce) {
  EXPECT_EQ(Check(kGeneral + Site("A", kContinuous)), 1);  // no Parita at all
  EXPECT_EQ(out, Line("A", msg::kParita));
}

TEST_F(CheckTest, WarnsAboutACommentAfterAValueWithItsLineButDoesNotFail) {
  const std::string ini =
      "[General]\r\nCom=PORT ; the exchange\r\nLog=LOGFILE\r\n" +
      Site("A", kContinuous, "Parita=N\r\nNoHeader=\"0 ; quoted, meant\"\r\n"
                             "CharToDel=0C\t; form feed\r\n");
  EXPECT_EQ(Check(ini), 0) << out;
  const std::string advice =
      " holds \";\" after a blank, which is read as part of the value, not as a comment; put "
      "comments on lines of their own\n";
  EXPECT_EQ(out, "warning: line " + std::to_string(LineNumberOf(ini, "Com=")) +
                     ": the value of Com" + advice + "A: warning: line " +
                     std::to_string(LineNumberOf(ini, "CharToDel=")) + ": the value of CharToDel" +
                     advice + "A  10.30 01-01-2010p  continuous\n");
  // The port is looked at under the name the reader gives it.
  EXPECT_EQ(ports, std::vector<std::string>{"PORT ; the exchange"});
}

TEST_F(CheckTest, WarnsAboutASectionWhoseKeysAreNeverRead) {
  const std::string ini = kGeneral + Site("A", kContinuous, "Parita=N\r\n") + "[a]\r\nBaud=1\r\n";
  EXPECT_EQ(Check(ini), 0) << out;
  EXPECT_EQ(out.substr(0, out.find('\n') + 1),
            "a: warning: line " + std::to_string(LineNumberOf(ini, "[a]")) +
                ": section [a] repeats the section of line " +
                std::to_string(LineNumberOf(ini, "[A]")) +
                " (names match without regard to case): its keys are never read\n");
}

TEST_F(CheckTest, WhatThePortAndTheFilesShowIsAWarningOrAProblem) {
  const std::string ini = kGeneral + Site("A", kContinuous, "Parita=N\r\n");
  const std::string due = "A  10.30 01-01-2010p  continuous\n";

  portProbe = {ProbeResult::Verdict::kWarning, "PORT does not exist (yet)"};
  EXPECT_EQ(Check(ini), 0);
  EXPECT_EQ(out, "warning: line 2: PORT does not exist (yet)\n" + due);

  portProbe = {ProbeResult::Verdict::kProblem, "PORT is a folder"};
  EXPECT_EQ(Check(ini), 1);
  EXPECT_EQ(out, Line("", msg::kCom, "PORT is a folder") + due);

  portProbe = {};
  fileProbes["LOGFILE"] = {ProbeResult::Verdict::kProblem, "the folder x does not exist"};
  fileProbes["dati2.txt"] = {ProbeResult::Verdict::kProblem, "dati2.txt is a folder"};
  EXPECT_EQ(Check(ini), 1);
  // A site with a problem gets no due-time line.
  EXPECT_EQ(out, Line("", msg::kLog, "the folder x does not exist") +
                     Line("A", msg::kDati2, "dati2.txt is a folder"));
}

TEST_F(CheckTest, TcpLineNeedsAWellFormedNameAndNoModemLines) {
  const std::string site = Site("A", kContinuous, "Parita=N\r\n");
  const std::string due = "A  10.30 01-01-2010p  continuous\n";
  const std::string connect = "tcp:127.0.0.1:9000";
  const struct {
    std::string com;
    std::string site;
    std::string expected;
  } cases[] = {
      {connect, site, due},
      {"tcp-listen:127.0.0.1:0", site,
       Line("", msg::kCom, "tcp-listen:127.0.0.1:0 is not tcp:HOST:PORT or "
                           "tcp-listen:[ADDRESS:]PORT (PORT 1 to 65535)") + due},
      {"tcp:9000", site,
       Line("", msg::kCom, "tcp:9000 is not tcp:HOST:PORT or tcp-listen:[ADDRESS:]PORT (PORT 1 "
                           "to 65535)") + due},
      {connect, Replaced(site, "Handshake=XON", "Handshake=HDW"),
       Line("A", msg::kHandshake,
            "Handshake=HDW needs modem lines, which a TCP line does not have; use XON or NONE")},
      {connect, Replaced(site, "Modem=0", "Modem=1") + "StringaModem=ATZ\r\nNumeroTel=1\r\n",
       Line("A", msg::kModem, "Modem=1 on a TCP line, which has no modem to dial")},
      // On a serial port both are fine.
      {"PORT", Replaced(site, "Handshake=XON", "Handshake=HDW"), due},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.com + " " + c.expected);
    ports.clear();
    const int status =
        Check("[General]\r\nCom=" + c.com + "\r\nLog=LOGFILE\r\n" + c.site);
    EXPECT_EQ(out, c.expected);
    EXPECT_EQ(status, c.expected == due ? 0 : 1);  // any problem fails the check
    // The serial port probe is not asked about a network line.
    EXPECT_EQ(ports.empty(), c.com != "PORT");
  }
}

TEST_F(CheckTest, ListeningLineOpenToEveryHostIsWarnedAboutAndItsAllowedListRead) {
  std::uint32_t error = 0;
  const net::SocketHandle probe = net::Listen("127.0.0.1", "0", error);
  const std::string port = net::LocalPort(probe);
  net::Close(probe);
  const std::string site = Site("A", kContinuous, "Parita=N\r\n");
  const std::string due = "A  10.30 01-01-2010p  continuous\n";
  auto warning = [](int line, const std::string& text) {
    return "warning: line " + std::to_string(line) + ": " + text + "\n";
  };
  const std::string open = "tcp-listen:" + port;
  const struct {
    std::string com;
    std::string allowed;  // the IndirizziAmmessi line, if any
    std::string expected;
  } cases[] = {
      {open, "",
       warning(2, open + " takes a connection from any host on every address; list the "
                         "exchange's address in IndirizziAmmessi (e.g. "
                         "IndirizziAmmessi=192.168.1.20)") + due},
      {"tcp-listen:[::]:" + port, "",
       warning(2, "tcp-listen:[::]:" + port + " takes a connection from any host on every "
                  "address; list the exchange's address in IndirizziAmmessi (e.g. "
                  "IndirizziAmmessi=192.168.1.20)") + due},
      {open, "IndirizziAmmessi=192.168.1.20, fd00::20\r\n", due},
      {"tcp-listen:127.0.0.1:" + port, "", due},
      {open, "IndirizziAmmessi=pbx.example\r\n",
       warning(4, "IndirizziAmmessi: \"pbx.example\" is no IPv4 or IPv6 address and allows "
                  "nobody") +
           warning(4, "IndirizziAmmessi allows no address: the line takes no connection") + due},
      {"tcp:127.0.0.1:9000", "IndirizziAmmessi=192.168.1.20\r\n",
       warning(4, "IndirizziAmmessi is read only by a tcp-listen line; Com=tcp:127.0.0.1:9000 "
                  "does not use it") + due},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.com + " " + c.allowed);
    const int status =
        Check("[General]\r\nCom=" + c.com + "\r\nLog=LOGFILE\r\n" + c.allowed + site);
    EXPECT_EQ(out, c.expected);
    EXPECT_EQ(status, 0);  // warnings do not fail the check
  }
}

TEST_F(CheckTest, BaudBeyond32BitsIsAProblem) {
  const struct {
    const char* baud;
    bool problem;
  } cases[] = {
      {"2147483647", false},
      {"2147483648", true},
      {"4294967296", true},
      {"99999999999999999999999", true},
      {"9600 bps", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    const std::string ini =
        kGeneral + Replaced(Site("A", kContinuous, "Parita=N\r\n"), "Baud=9600",
                            std::string("Baud=") + c.baud);
    EXPECT_EQ(Check(ini), c.problem ? 1 : 0);
    if (c.problem) {
      EXPECT_EQ(out, Line("A", msg::kBaud, std::string(c.baud) + " is beyond 32 bits"));
    }
  }
}

TEST_F(CheckTest, SIntervalReadMustBeMillisecondsAndIsPointedOutWhereItDoesNotApply) {
  const struct {
    const char* line;    // the key's line in the site's section
    const char* device;  // Dispositivo
    const char* modem;   // Modem, and a modem's own keys
    bool problem;
    bool warning;
  } cases[] = {
      {"SIntervalRead=20", "COM", "0", false, false},
      {"SIntervalRead= 50 ", "TCPIP", "0", false, false},
      {"SIntervalRead=0", "KSTD", "0", false, false},
      {"SIntervalRead=-20", "COM", "0", true, false},
      {"SIntervalRead=20ms", "COM", "0", true, false},
      {"SIntervalRead=abc", "COM", "0", true, false},
      {"SIntervalRead=", "COM", "0", true, false},
      {"SIntervalRead=99999999999", "COM", "0", true, false},
      {"SIntervalRead=20", "KSTD", "0", false, true},
      {"SIntervalRead=20", "COM", "1\r\nStringaModem=ATZ\r\nNumeroTel=0123", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.line) + " " + c.device + " Modem=" + c.modem);
    const std::string site = Replaced(
        Replaced(Site("A", kContinuous, "Parita=N\r\n" + std::string(c.line) + "\r\n"),
                 "Dispositivo=COM", std::string("Dispositivo=") + c.device),
        "Modem=0", std::string("Modem=") + c.modem);
    const std::string ini = kGeneral + site;
    EXPECT_EQ(Check(ini), c.problem ? 1 : 0) << out;
    const std::string value = std::string(c.line).substr(std::string("SIntervalRead=").size());
    std::string expected;
    if (c.problem)
      expected = Line("A", msg::kSiteSettings,
                      "SIntervalRead=" + value + " is not a number of milliseconds, 0 or more");
    if (c.warning)
      expected = "A: warning: line " + std::to_string(LineNumberOf(ini, c.line)) +
                 ": SIntervalRead applies only to a COM, BUFF or TCPIP site without a modem or "
                 "MetodoAlternativo; this site's reads end as before\n";
    if (!c.problem) expected += "A  10.30 01-01-2010p  continuous\n";
    EXPECT_EQ(out, expected);
  }
}

TEST_F(CheckTest, ASiteCodeTooLongForFileNames) {
  // The longest file the site makes: code + "storico" + "_S_R.TXT.TRAVASO".
  const std::string fits(255 - 7 - 16, 'S');
  const std::string tooLong = fits + "S";
  EXPECT_EQ(Check(kGeneral + Site(fits, kContinuous, "Parita=N\r\n")), 0) << out;
  EXPECT_EQ(Check(kGeneral + Site(tooLong, kContinuous, "Parita=N\r\n")), 1);
  EXPECT_EQ(out, Line(tooLong, msg::kDataFilesCreate,
                      "the site code makes file names of 256 bytes in the program folder, more "
                      "than 255"));
}

TEST_F(CheckTest, AvayaSiteNeedsItsAddressAndPasswordButNoLineSettings) {
  const std::string avaya = "Dispositivo=AVAYA\r\nIndirizzoIP=192.0.2.7:50808\r\n";
  // Site() gives a COM site without Parita, which a serial site needs.
  auto site = [&](const std::string& name, const std::string& keys) {
    std::string text = Site(name, kPeriodic);
    text.replace(text.find("Dispositivo=COM\r\n"), 17, keys);
    return text;
  };
  const std::string ini = kGeneral + site("0001", avaya + "Password=pw\r\n") +
                          site("0002", avaya) +
                          site("0003", "Dispositivo=AVAYA\r\nPassword=pw\r\n");
  EXPECT_EQ(Check(ini), 1) << out << err;
  EXPECT_EQ(out, Line("0002", msg::kSiteSettings, "Password is missing") +
                     Line("0003", msg::kSiteSettings, "IndirizzoIP is missing") +
                     "0001  11.00 01-01-2010p  periodic\n");
}

TEST_F(CheckTest, MissingFile) {
  EXPECT_EQ(Check(""), 1);
  EXPECT_EQ(out, Line("", 5044) + Line("", 5045) + Line("", 5046) + Line("", 5001));
  EXPECT_NE(err.find("no such file"), std::string::npos) << err;
}

TEST_F(CheckTest, GeneralSectionWithoutSites) {
  EXPECT_EQ(Check(kGeneral), 1);
  EXPECT_EQ(out, Line("", 5001));
  EXPECT_NE(err.find("no site section"), std::string::npos) << err;
}

}  // namespace
}  // namespace vr
