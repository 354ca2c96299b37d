#pragma once
// Where the configuration readers send the problems they find. At start-up
// the problems go straight into the error log; later (a reload on the worker
// thread) they go to the main window, which logs them; `--check` collects
// them to print.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/notifier.h"

namespace vr {

class Reporter {
 public:
  virtual ~Reporter() = default;
  // A problem named by its string id; siteCode is the site's code, empty for
  // the general section.
  virtual void Report(int id, std::string_view siteCode) = 0;
};

class CollectingReporter final : public Reporter {
 public:
  struct Item {
    int id;
    std::string siteCode;
    friend bool operator==(const Item&, const Item&) = default;
  };
  void Report(int id, std::string_view siteCode) override { items.push_back({id, std::string(siteCode)}); }
  std::vector<Item> items;
};

// Problems found while the program runs go to the main window, which logs
// them with the site code as the line's prefix.
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
