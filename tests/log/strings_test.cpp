#include "log/strings.h"

#include <gtest/gtest.h>

#include <string>

namespace vr {
namespace {

TEST(StringTable, EveryIdOfTheThreeRangesHasAText) {
  for (int id = 5001; id <= 5050; ++id) EXPECT_FALSE(MessageText(id).empty()) << id;
  for (int id = 7001; id <= 7011; ++id) EXPECT_FALSE(MessageText(id).empty()) << id;
  for (int id = 9001; id <= 9006; ++id) EXPECT_FALSE(MessageText(id).empty()) << id;
}

TEST(StringTable, UnknownIdsHaveNoText) {
  for (int id : {0, 5000, 5051, 7000, 7012, 9000, 9007}) EXPECT_TRUE(MessageText(id).empty()) << id;
}

TEST(StringTable, MissingKeyMessagesNameTheirKey) {
  const struct {
    int id;
    const char* key;
  } kCases[] = {
      {5017, "Dispositivo"}, {5018, "Modem"},         {5019, "Baud"},
      {5020, "BitDati"},     {5021, "Parita"},        {5022, "Stop"},
      {5023, "HandShake"},   {5024, "Xon"},           {5025, "Xoff"},
      {5026, "TimeoutFineImp"}, {5027, "StringaModem"}, {5028, "NumeroTel"},
      {5029, "Dati"},        {5030, "Dati2"},         {5031, "Storico"},
      {5032, "AggData"},     {5033, "AggOra"},        {5034, "EliminaNull"},
      {5035, "CorreggiCR"},  {5036, "FlagCRLF"},      {5037, "Importazione"},
      {5038, "STimeRead"},   {5039, "STimeWrite"},    {5040, "MTimeRead"},
      {5041, "MTimeWrite"},  {5042, "FileTimeout"},   {5043, "SpazioTimeout"},
      {5045, "Com"},         {5046, "Log"},           {5047, "Ogni"},
      {5048, "SitoAbilitato"}, {5049, "Ricorrenza"},  {5050, "Ora"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(MessageText(c.id),
              std::string("Manca o \xC3\xA8 corrotta la voce \"") + c.key + "\" nel file ini.")
        << c.id;
  }
}

TEST(StringTable, QuotedTextsStandExactly) {
  EXPECT_EQ(MessageText(5001),
            "Il file di configurazione di Vesper Recorder non \xC3\xA8 presente o \xC3\xA8 "
            "corrotto.");
  EXPECT_EQ(MessageText(5003), "Chiusura di Vesper Recorder.\r\n");
  EXPECT_EQ(MessageText(5005), "Errore n\xC2\xB0 ");
  EXPECT_EQ(MessageText(5044), "Impossibile trovare le sezioni nel file ini.");
  EXPECT_EQ(MessageText(7004),
            "Attenzione. Lo spazio disponibile \xC3\xA8 sceso sotto la soglia di ");
  EXPECT_EQ(MessageText(9001), "Il file dati non \xC3\xA8 disponibile.");
}

}  // namespace
}  // namespace vr
