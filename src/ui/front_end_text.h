#pragma once
// What both front ends do with the worker's messages, the same way: the
// window title with the site and the line count, the text of a warning box,
// the part of a display message that is shown and the bound on what waits to
// be shown, the trimming that keeps the Windows text box within its limit,
// and the log lines of the reports. The console and the Win32 window only
// draw the results.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/notifier.h"
#include "log/error_log.h"

namespace vr {

// Display text accepted but not yet shown takes at most this many bytes;
// text beyond it is dropped (the display only, never storage or a report).
inline constexpr std::size_t kDisplayWaitingLimitBytes = std::size_t{4} * 1024 * 1024;

// What a display message shows: its announced bytes, up to a first NUL.
std::string ShownDisplayText(std::string text, std::uint32_t announcedBytes);

// Writes the line of display text dropped since text was last shown
// ("N byte non visualizzati"); nothing when none was.
void LogDroppedDisplay(const ErrorLog& log, std::uint64_t droppedBytes);

// The log line of a report of the worker: a system error, a message of the
// string table or a debug text (an empty one is no line). Other messages
// write nothing.
void WriteReport(const ErrorLog& log, Message message, std::uint32_t value,
                 std::string_view text);

// The window title while or after a site is served: the program's title,
// then "  SITE" when there is a current site, then "  N Linee ricevute".
std::string DisplayTitle(std::string_view windowTitle, std::string_view site,
                         std::uint64_t lineCount);

// The tray tip holds at most this many characters of the title.
inline constexpr std::size_t kTrayTipChars = 63;

// The text of warning id: the string-table text; for the free-space warning
// (7004) followed by the site's threshold in MB, as "...soglia di 50MB.".
std::string WarningText(int id, std::uint32_t spaceThresholdMb);

// The display text box never holds this many characters or more.
inline constexpr std::size_t kDisplayLimitChars = 32000;

struct DisplayUpdate {
  std::string text;               // the box's new text
  std::size_t removedLineEnds = 0;  // line feeds among the characters removed from the front
};

// Appends the bytes of a chunk (up to its first NUL) to the box's text.
// When the old text and the chunk reach the limit, the front of the old text
// goes first, cut after a line feed: the first one at or after the chunk's
// length and before the last two characters; without one, the cut falls
// where the search ended, two characters before the end.
DisplayUpdate AppendToDisplay(std::string_view shown, std::string_view chunk);

}  // namespace vr
