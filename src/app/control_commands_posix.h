#pragma once
// What the running POSIX program answers to `vesprec ctl`: the tray menu's
// commands and the status that the window's title and tray icon show on
// Windows. Runs on the main thread, inside its poll() loop.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/worker_mailbox.h"
#include "app/recorder.h"
#include "app/configuration.h"
#include "app/status_report.h"
#include "base/flags.h"
#include "ui/console_posix.h"

namespace vr {

struct ControlContext {
  std::string port;  // Com
  ProcessFlags& flags;
  WorkerMailbox& mailbox;
  // The worker's wait event ("wake"), apart from the mailbox's own signal.
  WakeSignal& waitEvent;
  const StatusBoard& status;
  ConsoleFrontEnd& frontEnd;
  // The sites-menu item of a site; nothing when the menu has no such site.
  std::function<std::optional<SiteMenuItem>(std::string_view site)> findSiteItem;
  // The orderly stop of the whole program ("&Esci").
  std::function<void()> quit;
  // Com as VESPREC.INI names it now (the missing-key text when it names
  // none): a reload is refused when the port changed.
  std::function<std::string()> portInFile;
  // Each site's overflow and rescue bytes, for `status --json`; none given:
  // no sites listed.
  std::function<std::vector<SiteFileBytes>()> siteFiles;
};


// Answers one request line: "ok" and the answer's lines, or "error TEXT".
//   status        port, pid, site, state, lines, icon, title, warnings
//   status --json the same and each site's records and files, as JSON
//   start SITE    start the site of the sites menu by hand
//   stop          "&Interrompi": end the running connection
//   reload        read the configuration again (refused when Com changed)
//   wake          raise the wait event: an idle worker looks at its sites now
//   ack           every warning counts as closed
//   quit          "&Esci": stop in order and end
std::string AnswerControlRequest(ControlContext& context, std::string_view request);

}  // namespace vr
