#include "log/error_log.h"

#include <cstdio>

#include "log/strings.h"

namespace vr {
namespace {

// Longest message text of a line, as in the Windows program's buffers.
constexpr std::size_t kMaxMessageChars = 253;

// Length in bytes of the first n characters of a UTF-8 text (a byte that is
// not a continuation byte starts a character).
std::size_t Utf8PrefixBytes(std::string_view text, std::size_t n) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == n) return i;
      ++chars;
    }
  }
  return text.size();
}

std::size_t Utf8Length(std::string_view text) {
  std::size_t chars = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
  return chars;
}

std::string CutMessage(std::string text) {
  text.resize(Utf8PrefixBytes(text, kMaxMessageChars));
  return text;
}

}  // namespace

std::string LogPrefix(std::string_view text) {
  std::string prefix(text.substr(0, Utf8PrefixBytes(text, 5)));
  prefix.append(5 - Utf8Length(prefix), ' ');
  return prefix;
}

std::string FormatLogLine(std::string_view prefix, const CivilTime& when, std::string_view text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d/%02d:%02d:%02d  ", when.year, when.month,
                when.day, when.hour, when.minute, when.second);
  std::string line;
  line.reserve(prefix.size() + 21 + text.size() + 2);
  line += prefix;
  line += stamp;
  line += text;
  line += "\r\n";
  return line;
}

std::string SystemErrorText(std::uint32_t code) {
  std::string text(MessageText(msg::kSystemErrorPrefix));
  text += std::to_string(code);
  std::string description = SystemErrorDescription(code);
  if (!description.empty()) {
    text += ". ";
    text += description;
  }
  return text;
}

void ErrorLog::WriteMessage(int id, std::string_view text) const {
  WriteLine(LogPrefix(text), CutMessage(std::string(MessageText(id))));
}

void ErrorLog::WriteSystemError(std::uint32_t code, std::string_view text) const {
  WriteLine(LogPrefix(text), CutMessage(SystemErrorText(code)));
}

void ErrorLog::WriteText(std::string_view siteCode, std::string_view text) const {
  WriteLine(LogPrefix(siteCode), text);
}

void ErrorLog::WriteDebug(std::string_view text) const { WriteLine("Debug", text); }

void ErrorLog::WriteLine(std::string_view prefix, std::string_view text) const {
  if (path_.empty()) return;
  const LocalNow now = clock_.Now();
  std::uint32_t error = 0;
  // Converted as a whole: the prefix may hold a site code's accented letter.
  const bool written = AppendLogBytes(
      path_, ToLogCharset(FormatLogLine(prefix, FromSeconds(now.seconds), text)), &error);
  if (!watch_) return;
  if (written)
    watch_->Written(path_);
  else
    watch_->Failed(path_, error);
}

void LogFailureNotice::Written(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (saidFor_ == path) saidFor_.clear();
}

void LogFailureNotice::Failed(const std::string& path, std::uint32_t systemError) {
  std::lock_guard lock(mutex_);
  if (saidFor_ == path) return;
  saidFor_ = path;
  out_ << programName_ << ": cannot write the error log " << path;
  if (const std::string why = SystemErrorDescription(systemError); !why.empty()) out_ << " (" << why << ")";
  out_ << ": reports are lost until it can be written (see Log= in VESPREC.INI)\n";
  out_.flush();
}

}  // namespace vr
