#pragma once
// Start-up reporting of configuration problems (later ones go through
// NotifierReporter, config/reporter.h).

#include "base/clock.h"
#include "base/notifier.h"
#include "config/reporter.h"
#include "config/settings.h"
#include "log/error_log.h"

namespace vr {

// Start-up: straight into the error log named by the general settings as they
// stand at the moment of the report (nothing is recorded before Log is read).
class LogReporter final : public Reporter {
 public:
  LogReporter(const GeneralSettings& general, const Clock& clock, LogWatch* watch = nullptr)
      : general_(general), clock_(clock), watch_(watch) {}
  void Report(int id, std::string_view siteCode) override {
    ErrorLog(clock_, general_.log, watch_).WriteMessage(id, siteCode);
  }

 private:
  const GeneralSettings& general_;
  const Clock& clock_;
  LogWatch* watch_;
};

}  // namespace vr
