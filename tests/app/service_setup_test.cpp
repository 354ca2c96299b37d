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
      {"/Ctl stop", ServiceOption::kControl},
      // The request is free text: an option's name inside it is the site's.
      {"/Ctl start /Installa", ServiceOption::kControl},
      {"/Stato /Ctl quit", ServiceOption::kControl},
      {"/ctl stop", ServiceOption::kNone},
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

TEST(ServiceSetupTest, ControlPipeIsNamedAsTheService) {
  EXPECT_EQ(ControlPipeName("COM7"), "\\\\.\\pipe\\VesperRecorder_COM7");
  // A path of a port names no pipe below the pipe root.
  EXPECT_EQ(ControlPipeName("\\\\.\\COM12"), "\\\\.\\pipe\\VesperRecorder___._COM12");
}

TEST(ServiceSetupTest, RequestOfTheCommandLine) {
  struct Case {
    const char* line;
    const char* request;
  };
  const Case cases[] = {
      {"/Stato", "status --json"},
      {"/Ctl stop", "stop"},
      {"/Ctl   start 0001  ", "start 0001"},
      {"/Ctl start \"A B\"", "start A B"},
      {"/Ctl\treload", "reload"},
      {"/Ctl", ""},
      {"/Ctl   ", ""},
      {"/Ctl status\nquit", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ControlRequestOf(c.line, ServiceOptionOf(c.line)), c.request) << c.line;
  EXPECT_EQ(ControlRequestOf("/Installa", ServiceOption::kInstall), "");
}

TEST(ServiceSetupTest, ControlClientSaysWhyThereIsNoAnswer) {
  struct Case {
    ControlClientResult result;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {ControlClientResult::kNoInstance, 1, "non è in esecuzione per COM7"},
      {ControlClientResult::kNoAnswer, 1, "non ha risposto"},
      {ControlClientResult::kRefused, 2, "rifiutata da Vesper Recorder per COM7: no site X"},
      {ControlClientResult::kUsage, 2, "/Ctl status | stop | start SITO"},
      {ControlClientResult::kDenied, 5, "come amministratore"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ControlClientExitCode(c.result), c.code) << c.says;
    EXPECT_NE(ControlClientText(c.result, "COM7", "no site X").find(c.says), std::string::npos)
        << ControlClientText(c.result, "COM7", "no site X");
  }
  EXPECT_EQ(ControlClientExitCode(ControlClientResult::kAnswered), 0);
}

}  // namespace
}  // namespace vr
