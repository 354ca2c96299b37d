#include "ui/front_end_text.h"

#include <algorithm>

#include "log/strings.h"

namespace vr {

std::string DisplayTitle(std::string_view windowTitle, std::string_view site,
                         std::uint64_t lineCount) {
  std::string title(windowTitle);
  if (!site.empty()) {
    title += "  ";
    title += site;
  }
  title += "  " + std::to_string(lineCount) + " ";
  title += MessageText(msg::kLinesReceived);
  return title;
}

std::string WarningText(int id, std::uint32_t spaceThresholdMb) {
  std::string text(MessageText(id));
  if (id == msg::kDiskSpace) text += std::to_string(spaceThresholdMb) + "MB.";
  return text;
}

DisplayUpdate AppendToDisplay(std::string_view shown, std::string_view chunk) {
  chunk = chunk.substr(0, chunk.find('\0'));
  DisplayUpdate update;
  const std::size_t length = shown.size();
  if (length + chunk.size() >= kDisplayLimitChars) {
    // The first line feed from the chunk's length on, below length - 2; the
    // search's end when there is none.
    const std::size_t searchEnd = length >= 2 ? length - 2 : 0;
    std::size_t cut = std::min(chunk.size(), searchEnd);
    while (cut < searchEnd && shown[cut] != '\n') ++cut;
    const std::size_t removed = std::min(cut + 1, length);
    update.removedLineEnds =
        static_cast<std::size_t>(std::count(shown.begin(), shown.begin() + removed, '\n'));
    shown.remove_prefix(removed);
  }
  update.text.reserve(shown.size() + chunk.size());
  update.text.append(shown);
  update.text.append(chunk);
  return update;
}

}  // namespace vr
