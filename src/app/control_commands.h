#pragma once
// What a running instance answers on its control channel (`vesprec ctl` on
// the Unix socket, `VESPREC.EXE /Stato` and `/Ctl` on the named pipe): the
// tray menu's commands and the status that the window's title and tray icon
// show. The same requests and answers in both programs; what differs is how
// the front end is read (ControlView).

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

namespace vr {

// What the front end shows, as the control requests read and change it.
// Called on the thread that serves the channel: the POSIX main loop, or the
// Windows program's pipe thread; each must be safe there.
class ControlView {
 public:
  virtual ~ControlView() = default;
  virtual TrayIcon Icon() const = 0;
  // The title as the last display set it: the site and the line count.
  virtual std::string Title() const = 0;
  // The text of the last box shown; empty when none.
  virtual std::string LastBox() const = 0;
  // "&Avvia" is enabled: no site is being served.
  virtual bool StartEnabled() const = 0;
  // Every warning counts as closed; false when this front end cannot (its
  // warnings are boxes that only the user closes).
  virtual bool AcknowledgeWarnings() = 0;
};

struct ControlContext {
  std::string port;  // Com
  std::int64_t pid = 0;  // of the answering process
  ProcessFlags& flags;
  WorkerMailbox& mailbox;
  // The worker's wait event ("wake"), apart from the mailbox's own signal.
  WakeSignal& waitEvent;
  const StatusBoard& status;
  ControlView& frontEnd;
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
