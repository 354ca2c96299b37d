#include "app/service_setup.h"

#include <gtest/gtest.h>

namespace vr {
namespace {

TEST(ServiceSetupTest, OptionsAreFoundAnywhereAndCaseSensitive) {
  struct Case {
    const char* line;
    ServiceOption option;
  };
  const Case cases[] = {
      {"", ServiceOption::kNone},
      {"/Installa", ServiceOption::kInstall},
      {"/Sito=12 /Installa", ServiceOption::kInstall},
      {"/installa", ServiceOption::kNone},
      {"/Disinstalla", ServiceOption::kUninstall},
      {"/Servizio", ServiceOption::kRun},
      {"/Slave/Servizio", ServiceOption::kRun},
      {"/Stato", ServiceOption::kStatus},
      {"/STATO", ServiceOption::kNone},
  };
  for (const Case& c : cases) EXPECT_EQ(ServiceOptionOf(c.line), c.option) << c.line;
}

TEST(ServiceSetupTest, NamesFollowThePort) {
  EXPECT_EQ(ServiceName("COM1"), "VesperRecorder_COM1");
  EXPECT_EQ(ServiceDisplayName("COM1"), "Vesper Recorder COM1");
  // A service name holds no path separator nor blank.
  EXPECT_EQ(ServiceName("tcp-listen:0.0.0.0:9100"), "VesperRecorder_tcp-listen:0.0.0.0:9100");
  EXPECT_EQ(ServiceName("\\\\.\\COM12"), "VesperRecorder___._COM12");
  EXPECT_EQ(ServiceName("a/b c"), "VesperRecorder_a_b_c");
  EXPECT_EQ(ServiceCommandLine("C:\\Program Files\\Vesper\\VESPREC.EXE"),
            "\"C:\\Program Files\\Vesper\\VESPREC.EXE\" /Servizio");
}

TEST(ServiceSetupTest, OnlyWhatWasAskedAndDoneEndsWithZero) {
  struct Case {
    ServiceSetupResult result;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {ServiceSetupResult::kInstalled, 0, "sc start VesperRecorder_COM7"},
      {ServiceSetupResult::kRemoved, 0, "VesperRecorder_COM7 fermato e rimosso."},
      {ServiceSetupResult::kExists, 2, "VesperRecorder_COM7 è già installato."},
      {ServiceSetupResult::kNotInstalled, 2, "VesperRecorder_COM7 non è installato."},
      {ServiceSetupResult::kNoRights, 5, "come amministratore"},
      {ServiceSetupResult::kStillRunning, 1, "quando si ferma"},
      {ServiceSetupResult::kFailed, 1, "non riuscita: Accesso negato."},
      {ServiceSetupResult::kNotFromTheManager, 1, "VESPREC.EXE /Installa"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ServiceSetupExitCode(c.result), c.code) << c.says;
    EXPECT_NE(ServiceSetupText(c.result, "COM7", "Accesso negato.").find(c.says),
              std::string::npos)
        << ServiceSetupText(c.result, "COM7", "Accesso negato.");
  }
}

}  // namespace
}  // namespace vr
