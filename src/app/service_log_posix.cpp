#include "app/service_log.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace vr {

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
