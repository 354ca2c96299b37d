#include "app/reporters.h"

#include <gtest/gtest.h>

#include <string>

#include "app/configuration.h"
#include "base/civil_time.h"
#include "log/error_log.h"
#include "log/strings.h"
#include "support/recording_notifier.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

TEST(LogReporter, StartUpRecordsOnlyWhatComesAfterTheLogIsKnown) {
  test::TempDir dir;
  const std::string log = dir.File("vrec.log");
  // Com is missing (reported before Log is read, so lost); site A lacks Ogni.
  const Profile profile(dir.Write("VESPREC.INI", "[General]\r\nLog=" + log +
                                                     "\r\n[A]\r\nSitoAbilitato=1\r\n"
                                                     "Ricorrenza=0\r\nOra=x\r\n"));
  ManualClock clock(ToSeconds(CivilTime{2006, 3, 1, 0, 0, 0, 0}));
  Configuration config;
  LogReporter reporter(config.general, clock);
  EXPECT_FALSE(LoadConfiguration(profile, config, reporter, clock));
  const std::string stamp = "2006/03/01/00:00:00  ";
  EXPECT_EQ(dir.Read("vrec.log"),
            "A    " + stamp + ToLogCharset(MessageText(msg::kOgni)) + "\r\n" + "A    " + stamp +
                ToLogCharset(MessageText(msg::kSiteDropped)) + "\r\n");
}

TEST(NotifierReporter, PostsTheIdWithTheSiteCode) {
  test::RecordingNotifier notifier;
  NotifierReporter reporter(notifier);
  reporter.Report(5029, "0001");
  reporter.Report(5044, "");
  using Note = test::RecordingNotifier::Note;
  EXPECT_EQ(notifier.Notes(), (std::vector<Note>{{Message::kError, 5029, "0001", false},
                                                 {Message::kError, 5044, "", false}}));
}

}  // namespace
}  // namespace vr
