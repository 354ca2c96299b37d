#include "app/service_log_posix.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace vr {

std::string FormatServiceLogLine(long pid, const CivilTime& when, std::string_view message) {
  char head[48];
  std::snprintf(head, sizeof head, "(%ld) %02d:%02d:%02d ", pid, when.hour, when.minute,
                when.second);
  std::string line = head;
  line += message;
  line += '\n';
  return line;
}

std::string SignalLogName(int signalNumber) {
  switch (signalNumber) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "default";
  }
}

void ServiceLog::Log(std::string_view message) const {
  const std::string line = FormatServiceLogLine(static_cast<long>(::getpid()),
                                                FromSeconds(clock_.Now().seconds), message);
  std::FILE* file = std::fopen(path_.c_str(), "a");
  if (!file) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

}  // namespace vr
