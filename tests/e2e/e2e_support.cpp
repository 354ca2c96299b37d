#include "e2e/e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace vr::e2e {

const char* VesprecPath() { return VR_E2E_VESPREC; }
const char* VesperSimPath() { return VR_E2E_VESPER_SIM; }

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& x : extra)
      if (x.substr(0, x.find('=')) == name) replaced = true;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                 const std::string& outPath, const std::string& errPath) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env = MergedEnvironment(extraEnv);
  std::vector<char*> argp = CStrings(args);
  std::vector<char*> envp = CStrings(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  // The child gets default signal handling and an empty mask, whatever the
  // test runner set up.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  if (posix_spawn(&pid, argp[0], &actions, &attributes, argp.data(), envp.data()) == 0) pid_ = pid;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
  if (Running()) Stop(std::chrono::milliseconds(5000));
}

void Process::Reap(bool block) {
  if (pid_ < 0 || status_) return;
  int raw = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &raw, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) {
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  } else if (r < 0) {
    status_ = -1;  // not our child any more: nothing to wait for
  }
}

bool Process::Running() {
  Reap(false);
  return pid_ >= 0 && !status_;
}

std::optional<int> Process::ExitStatus() {
  Reap(false);
  return status_;
}

std::optional<int> Process::WaitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

bool Process::Signal(int signalNumber) { return Running() && kill(pid_, signalNumber) == 0; }

std::optional<int> Process::Stop(std::chrono::milliseconds grace) {
  if (!Running()) return status_;
  kill(pid_, SIGTERM);
  if (WaitForExit(grace)) return status_;
  kill(pid_, SIGKILL);
  Reap(true);
  return status_;
}

CommandResult RunCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv, const std::string& scratchDir,
                         std::chrono::milliseconds timeout) {
  static int serial = 0;
  const std::string stem = scratchDir + "/command-" + std::to_string(++serial);
  CommandResult result;
  {
    Process process(argv, extraEnv, stem + ".out", stem + ".err");
    if (process.pid() < 0) return result;
    const std::optional<int> status = process.WaitForExit(timeout);
    result.status = status ? *status : -1;
  }
  result.out = ReadFile(stem + ".out");
  result.err = ReadFile(stem + ".err");
  std::remove((stem + ".out").c_str());
  std::remove((stem + ".err").c_str());
  return result;
}

bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::uint64_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

int CountOf(std::string_view text, std::string_view part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos;
       at = text.find(part, at + part.size()))
    ++count;
  return count;
}

std::map<std::string, std::string> ParseStatus(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      if (!value.empty() && value.front() == ' ') value.erase(0, 1);
      fields[line.substr(0, colon)] = value;
    }
    start = end + 1;
  }
  return fields;
}

void SetKey(Keys& keys, const std::string& key, const std::string& value) {
  for (auto& [k, v] : keys) {
    if (k == key) {
      v = value;
      return;
    }
  }
  keys.emplace_back(key, value);
}

std::string IniSection(const std::string& site, const Keys& keys) {
  std::string text = "[" + site + "]\r\n";
  for (const auto& [k, v] : keys) text += k + "=" + v + "\r\n";
  return text;
}

std::int64_t LocalSecondsNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // timegm on local fields: the wall-clock reading as a plain count of
  // seconds, days of 86400 s, as the recorder counts.
  return static_cast<std::int64_t>(timegm(&local));
}

std::string NextHourOra(std::int64_t localSeconds) {
  const std::time_t next = static_cast<std::time_t>(localSeconds - localSeconds % 3600 + 3600);
  std::tm t{};
  gmtime_r(&next, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d %02d-%02d-%dp", t.tm_hour, t.tm_min, t.tm_mday,
                t.tm_mon + 1, t.tm_year + 1900);
  return text;
}

DataFileModel::DataFileModel(std::string_view siteCode, char carry)
    : header_(siteCode.substr(0, 4)), carry_(carry) {
  header_.resize(5, ' ');
}

std::string DataFileModel::Connection(std::string_view text) {
  // Line ends first: CR LF, LF CR, a lone CR and a lone LF each become CR LF;
  // the other half of a pair completed at the end of the last connection is
  // dropped.
  std::size_t i = 0;
  if (!text.empty() && carry_ != 0 && text[0] == carry_) i = 1;
  if (i == text.size()) {
    if (!text.empty()) carry_ = 0;
    return {};
  }
  carry_ = 0;
  std::string lines;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      lines += c;
      continue;
    }
    lines += "\r\n";
    const char other = c == '\r' ? '\n' : '\r';
    if (i + 1 < text.size() && text[i + 1] == other) {
      ++i;
    } else if (i + 1 == text.size()) {
      carry_ = other;
    }
  }
  // Then a line of its own for the connection, and a header before the
  // first byte of every line.
  std::string data = "\r\n";
  std::string_view rest = lines;
  if (rest.substr(0, 2) == "\r\n") rest.remove_prefix(2);
  bool lineStart = true;
  for (const char c : rest) {
    if (lineStart) data += header_;
    lineStart = c == '\n';
    data += c;
  }
  return data;
}

std::string ExpectedData(std::string_view siteCode, std::string_view text,
                         const std::vector<std::size_t>& cuts) {
  DataFileModel model(siteCode);
  std::string data;
  std::size_t start = 0;
  for (const std::size_t cut : cuts) {
    data += model.Connection(text.substr(start, cut - start));
    start = cut;
  }
  return data + model.Connection(text.substr(start));
}

}  // namespace vr::e2e
