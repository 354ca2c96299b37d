#pragma once
// What `--check` learns by looking at the port and the files a configuration
// names, without writing anything: a port that does not exist or cannot be
// opened may only be unplugged or in use (a warning), while a port that is
// not a terminal device, or a file that cannot be written, fails at run time
// (a problem).

#include <string>

namespace vr {

struct ProbeResult {
  enum class Verdict { kUsable, kWarning, kProblem };
  Verdict verdict = Verdict::kUsable;
  std::string detail;  // why, for a person; empty when usable
};

// Com: a device path on POSIX (opened for a moment, without becoming the
// controlling terminal, and closed), a port name on Windows.
ProbeResult ProbePort(const std::string& com);

// A file the program appends to (the log, a data file): it may be missing,
// but then its folder must exist and be writable; when it exists it must be
// a writable file. Nothing is created.
ProbeResult ProbeAppendableFile(const std::string& path);

// The longest file name (one path component) the file system takes.
inline constexpr std::size_t kMaxFileNameBytes = 255;

}  // namespace vr
