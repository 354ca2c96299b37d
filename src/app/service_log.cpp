#include "app/service_log.h"

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

}  // namespace vr
