#include "app/control_commands.h"

#include <vector>

namespace vr {
namespace {

const char* IconName(TrayIcon icon) {
  switch (icon) {
    case TrayIcon::kReceiving:
      return "receiving";
    case TrayIcon::kHeld:
      return "held";
    case TrayIcon::kLineError:
      return "line-error";
    case TrayIcon::kIdle:
      return "idle";
  }
  return "idle";
}

void AddField(std::string& answer, std::string_view key, std::string_view value) {
  answer += key;
  answer += ':';
  if (!value.empty()) {
    answer += ' ';
    answer += value;
  }
  answer += '\n';
}

std::vector<int> PendingWarnings(const ControlContext& context) {
  std::vector<int> pending;
  for (int id = kFirstWarningId; id <= kLastWarningId; ++id)
    if (context.flags.WarningPending(id)) pending.push_back(id);
  return pending;
}

std::string Status(ControlContext& context) {
  const WorkerStatus status = context.status.Get();
  std::string warnings;
  for (const int id : PendingWarnings(context)) {
    if (!warnings.empty()) warnings += ' ';
    warnings += std::to_string(id);
  }
  std::string answer = "ok\n";
  AddField(answer, "port", context.port);
  AddField(answer, "pid", std::to_string(context.pid));
  AddField(answer, "site", status.site);
  AddField(answer, "state", WorkerStateName(status.state));
  AddField(answer, "lines", std::to_string(status.lines));
  AddField(answer, "icon", IconName(context.frontEnd.Icon()));
  AddField(answer, "title", context.frontEnd.Title());
  AddField(answer, "warnings", warnings);
  AddField(answer, "box", context.frontEnd.LastBox());
  return answer;
}

std::string JsonStatus(ControlContext& context) {
  const WorkerStatus status = context.status.Get();
  StatusReport report{
      .port = context.port,
      .pid = context.pid,
      .site = status.site,
      .state = WorkerStateName(status.state),
      .lines = status.lines,
      .icon = IconName(context.frontEnd.Icon()),
      .title = context.frontEnd.Title(),
      .warnings = PendingWarnings(context),
      .sites = {},
  };
  report.sites = MergeSiteReports(context.siteFiles ? context.siteFiles() : std::vector<SiteFileBytes>{},
                                  context.status.Activity());
  return "ok\n" + StatusJson(report) + "\n";
}

std::string StartSite(ControlContext& context, std::string_view site) {
  if (site.empty()) return "error start needs a site code\n";
  const std::optional<SiteMenuItem> item =
      context.findSiteItem ? context.findSiteItem(site) : std::nullopt;
  const std::string name(site);
  if (!item) return "error no site " + name + " in the sites menu\n";
  if (item->grayed) return "error site " + name + " was dropped from the schedule (see the log)\n";
  // Read before the post: the worker grays "&Avvia" when it takes the request.
  const bool siteRunning = !context.frontEnd.StartEnabled();
  context.mailbox.Post(WorkerRequest::kStartSite, item->id);
  if (siteRunning)
    return "ok\nnote: a site is being served; " + name +
           " starts when it ends (ctl stop ends it)\n";
  return "ok\n";
}

}  // namespace

std::string AnswerControlRequest(ControlContext& context, std::string_view request) {
  while (!request.empty() && request.front() == ' ') request.remove_prefix(1);
  while (!request.empty() && request.back() == ' ') request.remove_suffix(1);
  const std::size_t blank = request.find(' ');
  const std::string_view command = request.substr(0, blank);
  std::string_view argument =
      blank == std::string_view::npos ? std::string_view() : request.substr(blank + 1);
  while (!argument.empty() && argument.front() == ' ') argument.remove_prefix(1);

  if (command == "start") return StartSite(context, argument);
  if (command == "status" && argument == "--json") return JsonStatus(context);
  if (command == "status" && !argument.empty()) return "error status takes only --json\n";
  if (!argument.empty()) return "error " + std::string(command) + " takes no argument\n";
  if (command == "status") return Status(context);
  if (command == "stop") {
    context.mailbox.Post(WorkerRequest::kStopConnection);
    context.flags.stop = true;
    return "ok\n";
  }
  if (command == "reload") {
    const std::string refusal =
        PortChangeRefusal(context.port, context.portInFile ? context.portInFile() : context.port);
    if (!refusal.empty()) return "error " + refusal + "\n";
    context.mailbox.Post(WorkerRequest::kReload);
    return "ok\n";
  }
  if (command == "wake") {
    context.waitEvent.Signal();
    return "ok\n";
  }
  if (command == "ack") {
    if (!context.frontEnd.AcknowledgeWarnings())
      return "error the warnings are boxes here: close them on the desktop\n";
    return "ok\n";
  }
  if (command == "quit") {
    if (context.quit) context.quit();
    return "ok\n";
  }
  if (command.empty()) return "error empty request\n";
  return "error unknown command " + std::string(command) + "\n";
}

}  // namespace vr
