#include "app/check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "base/civil_time.h"
#include "log/strings.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

const std::string kGeneral = "[General]\r\nCom=/dev/ttyS0\r\nLog=LOGFILE\r\n";

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

const std::string kContinuous = "Ogni=0\r\nSitoAbilitato=1\r\nRicorrenza=0\r\nOra=x\r\n";
const std::string kPeriodic =
    "Ogni=3600\r\nSitoAbilitato=1\r\nRicorrenza=-1\r\nOra=08:00 01/01/2010\r\n";

std::string Line(const std::string& site, int id) {
  return (site.empty() ? "" : site + ": ") + std::string(MessageText(id)) + "\n";
}

class CheckTest : public ::testing::Test {
 protected:
  int Check(const std::string& ini) {
    if (!ini.empty()) dir.Write("VESPREC.INI", ini);
    std::ostringstream o, e;
    const int status = RunConfigurationCheck(dir.Path(), o, e, clock);
    out = o.str();
    err = e.str();
    return status;
  }

  test::TempDir dir;
  ManualClock clock{ToSeconds(CivilTime{2010, 1, 1, 10, 30, 0, 0})};
  std::string out, err;
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
  // Nothing written: the file is unchanged and no log was made.
  EXPECT_EQ(dir.Read("VESPREC.INI"), ini);
  EXPECT_FALSE(std::filesystem::exists(dir.File("LOGFILE")));
}

TEST_F(CheckTest, ListsTheProblemsOfEverySite) {
  std::string broken = Site("B", kContinuous, "Parita=N\r\n");
  broken.replace(broken.find("Baud=9600"), 9, "Baud=fast");
  const std::string ini =
      kGeneral + Site("A", kContinuous, "Parita=N\r\n") +
      Site("NODATI", kContinuous, "Parita=N\r\n").replace(std::string("[NODATI]\r\n").size() +
                                                              kContinuous.size(),
                                                          15, "") +
      broken + Site("P", kContinuous, "Parita=X\r\n") +
      Site("W", "Ogni=0\r\nSitoAbilitato=1\r\nRicorrenza=-5\r\nOra=08:00 01/01/2010\r\n",
           "Parita=N\r\n");
  EXPECT_EQ(Check(ini), 1);
  EXPECT_EQ(out, Line("W", 5047) + Line("W", 5010) + Line("NODATI", 5029) + Line("B", 5019) +
                     Line("P", 5021) +
                     "A  10.30 01-01-2010p  continuous\n");
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
  EXPECT_EQ(out, Line("0002", msg::kSiteSettings) + Line("0003", msg::kSiteSettings) +
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
