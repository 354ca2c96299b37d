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

std::string ShownDisplayText(std::string text, std::uint32_t announcedBytes) {
  text.resize(std::min<std::size_t>(announcedBytes, text.size()));
  text.resize(std::min(text.size(), text.find('\0')));
  return text;
}

void LogDroppedDisplay(const ErrorLog& log, std::uint64_t droppedBytes) {
  if (droppedBytes == 0) return;
  log.WriteDebug(std::to_string(droppedBytes) + " byte non visualizzati");
}

void WriteReport(const ErrorLog& log, Message message, std::uint32_t value,
                 std::string_view text) {
  switch (message) {
    case Message::kSystemError:
      log.WriteSystemError(value, text);
      break;
    case Message::kError:
      log.WriteMessage(static_cast<int>(value), text);
      break;
    case Message::kDebug:
      if (!text.empty()) log.WriteDebug(text);
      break;
    default:
      break;
  }
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
