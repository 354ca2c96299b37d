#pragma once
// The error log and the debug log: one text file named by the Log key,
// opened, appended and closed for every line so that several processes may
// share it. A line that cannot be written is lost; a LogWatch, when given,
// hears of it, so that a front end can say so where a person sees it.
//
// Line layout: a prefix of five characters (the first five of the
// accompanying text, padded with blanks; "Debug" for a debug line),
// YYYY/MM/DD/hh:mm:ss, two blanks, the text, CR LF.
//
// Every text handed to the log is UTF-8, as all the program's texts are
// (string table, configuration values, paths, system descriptions); the log
// turns each line into its own character set as it writes it.

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

#include "base/civil_time.h"
#include "base/clock.h"

namespace vr {

// The first five characters of text, padded with blanks to five.
std::string LogPrefix(std::string_view text);

// One whole log line, CR LF included.
std::string FormatLogLine(std::string_view prefix, const CivilTime& when, std::string_view text);

// "Errore n° <code>. <description>", or "Errore n° <code>" when the system has
// no description for the code; UTF-8.
std::string SystemErrorText(std::uint32_t code);

// Hears whether each log line could be written.
class LogWatch {
 public:
  virtual ~LogWatch() = default;
  virtual void Written(const std::string& path) = 0;
  virtual void Failed(const std::string& path, std::uint32_t systemError) = 0;
};

// Says once on a stream that the log cannot be written, and again only after
// it could be written in between (or when it moves to another file).
class LogFailureNotice final : public LogWatch {
 public:
  LogFailureNotice(std::ostream& out, std::string programName)
      : out_(out), programName_(std::move(programName)) {}
  void Written(const std::string& path) override;
  void Failed(const std::string& path, std::uint32_t systemError) override;

 private:
  std::ostream& out_;
  const std::string programName_;
  std::mutex mutex_;
  std::string saidFor_;  // the log path whose failure was said; empty: none
};

class ErrorLog {
 public:
  explicit ErrorLog(const Clock& clock, std::string path = {}, LogWatch* watch = nullptr)
      : clock_(clock), path_(std::move(path)), watch_(watch) {}

  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& Path() const { return path_; }

  // A line with the text of string id and the prefix from text.
  void WriteMessage(int id, std::string_view text = {}) const;
  // A line with the description of a system error code.
  void WriteSystemError(std::uint32_t code, std::string_view text = {}) const;
  // A line with the prefix from siteCode and a free text.
  void WriteText(std::string_view siteCode, std::string_view text) const;
  // A line with the prefix "Debug" and a free text.
  void WriteDebug(std::string_view text) const;

 private:
  void WriteLine(std::string_view prefix, std::string_view text) const;

  const Clock& clock_;
  std::string path_;
  LogWatch* watch_;
};

// Platform parts (log_platform_posix.cpp / log_platform_win32.cpp).

// The system's description of an error code (strerror on POSIX,
// FormatMessage on Windows) in UTF-8, without its final line end; empty when
// the system has none.
std::string SystemErrorDescription(std::uint32_t code);

// A UTF-8 text in the log's character set: unchanged on POSIX,
// Windows-1252 on Windows.
std::string ToLogCharset(std::string_view utf8);

// Opens path for writing (created when missing, others may read), appends
// bytes with one write at the end, and closes it. False when it could not,
// with the system's error code in *error when given.
bool AppendLogBytes(const std::string& path, std::string_view bytes,
                    std::uint32_t* error = nullptr);

}  // namespace vr
