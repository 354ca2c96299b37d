#pragma once
// The console front end as the control requests read it: every part of it
// is safe from the main loop, where the POSIX program serves its socket.

#include <string>

#include "app/control_commands.h"
#include "ui/console_posix.h"

namespace vr {

class ConsoleControlView final : public ControlView {
 public:
  explicit ConsoleControlView(ConsoleFrontEnd& console) : console_(console) {}

  TrayIcon Icon() const override { return console_.Icon(); }
  std::string Title() const override { return console_.Title(); }
  std::string LastBox() const override { return console_.LastBox(); }
  bool StartEnabled() const override { return console_.StartEnabled(); }
  bool AcknowledgeWarnings() override {
    console_.AcknowledgeWarnings();
    return true;
  }

 private:
  ConsoleFrontEnd& console_;
};

}  // namespace vr
