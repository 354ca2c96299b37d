#pragma once
// Helpers for the end-to-end tests: real processes (vesprec, vesper-sim)
// started in a test's own folder, polling with real-time deadlines, the
// configuration file of a test site, and the model of the data file the
// recorder must write for what the simulator handed over.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vr::e2e {

// Paths of the programs under test, from the build.
const char* VesprecPath();
const char* VesperSimPath();

// A child process with its standard output and error in files. The
// destructor ends a process that is still running (SIGTERM, then SIGKILL).
class Process {
 public:
  // Starts argv[0] with the environment of this process plus `extraEnv`
  // ("NAME=value", replacing a variable of the same name); standard input is
  // /dev/null. pid() is -1 when the start failed.
  Process(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
          const std::string& outPath, const std::string& errPath);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool Running();
  // The exit status once the process has ended (128 + N after signal N).
  std::optional<int> ExitStatus();
  // Polls until the process has ended or `timeout` has passed.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  bool Signal(int signalNumber);
  // SIGTERM, a wait of up to `grace`, then SIGKILL; the exit status.
  std::optional<int> Stop(std::chrono::milliseconds grace);

 private:
  void Reap(bool block);

  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct CommandResult {
  int status = -1;  // exit status; -1 when it did not end in time
  std::string out;
  std::string err;
};

// Runs a command to its end (at most `timeout`), capturing its output in
// files under `scratchDir`.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv, const std::string& scratchDir,
                         std::chrono::milliseconds timeout);

// Calls `done` every 100 ms until it is true or `timeout` has passed.
bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// The size of a file in bytes; 0 when there is none.
std::uint64_t FileSize(const std::string& path);
// Replaces the file in one step (a reader never sees half of it).
bool WriteFileAtomically(const std::string& path, const std::string& bytes);
// Occurrences of `part` in `text`.
int CountOf(std::string_view text, std::string_view part);
// "key: value" lines as `vesprec ctl status` prints them.
std::map<std::string, std::string> ParseStatus(const std::string& text);

// INI keys of one site, in the order they are written.
using Keys = std::vector<std::pair<std::string, std::string>>;
// Sets `key` in `keys`, replacing an earlier value.
void SetKey(Keys& keys, const std::string& key, const std::string& value);
// A site section "[site]" with its keys, CR LF line ends.
std::string IniSection(const std::string& site, const Keys& keys);

// The "Ora" value of the next whole hour after `localSeconds`, as the
// recorder writes it back for a site run every 3600 s from a whole hour.
std::string NextHourOra(std::int64_t localSeconds);
// Local wall-clock seconds now (since 1970, without time zone): the scale
// the recorder's schedule uses, up to a constant.
std::int64_t LocalSecondsNow();

// The data file of a site whose line headers are only its code (AggData=0,
// AggOra=0, CorreggiCR=1): what the recorder stores for text received over
// one or more connections. Each connection's data starts on a line of its
// own (a CR LF first), every line gets the header, and every line end
// becomes CR LF; a CR LF pair cut between two connections counts once, as
// the FlagCRLF carry makes it.
class DataFileModel {
 public:
  explicit DataFileModel(std::string_view siteCode, char carry = 0);
  // What the recorder stores for one connection that received `text`.
  std::string Connection(std::string_view text);
  // The byte a connection that ends now leaves in FlagCRLF (0, 10 or 13).
  int Carry() const { return carry_; }

 private:
  std::string header_;
  char carry_ = 0;
};

// The model for text received over connections starting at 0 and at each
// offset of `cuts` (ascending), concatenated.
std::string ExpectedData(std::string_view siteCode, std::string_view text,
                         const std::vector<std::size_t>& cuts = {});

}  // namespace vr::e2e
