#pragma once
// The two ways a running program reports configuration problems.

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
  LogReporter(const GeneralSettings& general, const Clock& clock) : general_(general), clock_(clock) {}
  void Report(int id, std::string_view siteCode) override {
    ErrorLog(clock_, general_.log).WriteMessage(id, siteCode);
  }

 private:
  const GeneralSettings& general_;
  const Clock& clock_;
};

// Later, on the worker thread: to the main window, which logs it.
class NotifierReporter final : public Reporter {
 public:
  explicit NotifierReporter(Notifier& notifier) : notifier_(notifier) {}
  void Report(int id, std::string_view siteCode) override {
    notifier_.Post(Message::kError, static_cast<std::uint32_t>(id), std::string(siteCode));
  }

 private:
  Notifier& notifier_;
};

}  // namespace vr
