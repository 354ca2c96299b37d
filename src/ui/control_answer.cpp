#include "ui/control_answer.h"

namespace vr {

bool ParseAnswer(std::string_view answer, std::vector<std::string>& lines, std::string& message) {
  lines.clear();
  message.clear();
  std::size_t at = 0;
  std::vector<std::string> all;
  while (at < answer.size()) {
    std::size_t end = answer.find('\n', at);
    if (end == std::string_view::npos) end = answer.size();
    all.emplace_back(answer.substr(at, end - at));
    at = end + 1;
  }
  if (all.empty()) return false;
  const std::string& first = all.front();
  if (first == "ok") {
    lines.assign(all.begin() + 1, all.end());
    return true;
  }
  constexpr std::string_view kError = "error ";
  message = first.rfind(kError, 0) == 0 ? first.substr(kError.size()) : first;
  lines.assign(all.begin() + 1, all.end());
  return false;
}

}  // namespace vr
