// record_latency: how long a call record takes from the exchange's write to
// the data file, end to end with the real vesprec. This program plays the
// exchange itself, on a pseudo-terminal (a direct serial line) and on a TCP
// connection (Com=tcp:...), writes one record at a time, and times its
// arrival in the data file; it prints the figures beside the read time-out
// the site was given, which bounds how long a record shorter than the read
// chunk waits in the line, and beside its interval time-out (SIntervalRead),
// which ends a read once the line has gone quiet. It also gives the CPU
// time the recorder spent per record (all its threads, from the first
// record's write to the last record's arrival).
//
//   record_latency --vesprec PATH [--records N] [--gap-ms MS] [--read-tenths T]
//                  [--interval-ms MS] [--baud B] [--line pty|tcp|both]

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "line/socket.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string vesprec;
  int records = 40;
  int gapMs = 150;
  int readTenths = 10;
  int intervalMs = 0;  // SIntervalRead; 0: the key is left out
  int baud = 9600;
  bool pty = true;
  bool tcp = true;
};

std::string SiteKeys(const std::string& dir, const Options& options) {
  const std::string t = std::to_string(options.readTenths);
  return "[0001]\r\nOgni=3600\r\nSitoAbilitato=1\r\nRicorrenza=0\r\nOra=10.00 01-01-2010p\r\n"
         "Dispositivo=COM\r\nDati=" + dir + "/dati.txt\r\nDati2=" + dir + "/dati2.txt\r\n"
         "Storico=" + dir + "/storico.txt\r\nAggData=0\r\nAggOra=0\r\nEliminaNull=0\r\n"
         "CorreggiCR=1\r\nFlagCRLF=0\r\nImportazione=2\r\nSTimeRead=" + t + "\r\nSTimeWrite=10\r\n"
         "MTimeRead=" + t + "\r\nMTimeWrite=10\r\nFileTimeout=60\r\nSpazioTimeout=0\r\n"
         "Modem=0\r\nBaud=" + std::to_string(options.baud) + "\r\nBitDati=8\r\nParita=N\r\n"
         "Stop=1\r\nHandshake=NONE\r\nXon=17\r\nXoff=19\r\nTimeoutFineImp=30\r\n" +
         (options.intervalMs > 0 ? "SIntervalRead=" + std::to_string(options.intervalMs) + "\r\n"
                                 : std::string());
}

// CPU time of every thread of the process so far, in nanoseconds (the first
// field of each thread's schedstat); -1 when it cannot be read.
std::int64_t ProcessCpuNs(pid_t pid) {
  std::int64_t total = 0;
  std::error_code ec;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    std::ifstream in(task.path() / "schedstat");
    std::int64_t ns = 0;
    if (in >> ns) total += ns;
  }
  return ec ? -1 : total;
}

off_t FileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return false;
    }
  }
  return true;
}

struct Figures {
  std::vector<double> ms;
  std::int64_t cpuNs = -1;  // the recorder's, over the records
  std::string error;
};

pid_t StartRecorder(const Options& options, const std::string& dir) {
  const std::string runtime = "XDG_RUNTIME_DIR=" + dir + "/run";
  ::mkdir((dir + "/run").c_str(), 0700);
  std::vector<std::string> env = {runtime, "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = options.vesprec;
  std::string dirFlag = "--dir";
  std::string dirArg = dir;
  char* argv[] = {program.data(), dirFlag.data(), dirArg.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void StopRecorder(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// Plays the exchange on fd: one record at a time, timed until the data file
// has grown by what the recorder makes of it.
Figures Measure(const Options& options, int fd, const std::string& dataFile, pid_t recorder) {
  Figures f;
  // The data file is made when the connection starts.
  const auto started = Clock::now();
  while (FileSize(dataFile) < 0) {
    if (Clock::now() - started > std::chrono::seconds(20)) {
      f.error = "the recorder did not start its connection";
      return f;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const std::int64_t cpuBefore = ProcessCpuNs(recorder);
  for (int i = 0; i < options.records; ++i) {
    char record[80];
    std::snprintf(record, sizeof record, "14/03/24 08:%02d:%02d EXT %04d TRK 01 0123456789 00:01:00\r\n",
                  i / 60 % 60, i % 60, 2000 + i);
    const std::string text = record;
    // Stored with the site code ("0001 ") before it, the first one after the
    // line end that begins a connection's data.
    const off_t before = FileSize(dataFile);
    const off_t expected = before + static_cast<off_t>(text.size() + 5) + (before == 0 ? 2 : 0);
    const auto written = Clock::now();
    if (!WriteAll(fd, text)) {
      f.error = std::string("write: ") + std::strerror(errno);
      return f;
    }
    while (FileSize(dataFile) < expected) {
      if (Clock::now() - written > std::chrono::seconds(30)) {
        f.error = "a record did not arrive within 30 s";
        return f;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    f.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - written).count());
    // Gaps of different lengths, so the records fall at every point of a read.
    if (i + 1 < options.records)
      std::this_thread::sleep_for(std::chrono::milliseconds(options.gapMs + (i * 173) % 500));
  }
  const std::int64_t cpuAfter = ProcessCpuNs(recorder);
  if (cpuBefore >= 0 && cpuAfter >= cpuBefore) f.cpuNs = cpuAfter - cpuBefore;
  return f;
}

std::string MakeDir() {
  char pattern[] = "/tmp/vesprec-latency.XXXXXX";
  const char* made = ::mkdtemp(pattern);
  return made ? made : "";
}

void WriteIni(const std::string& dir, const std::string& com, const Options& options) {
  std::ofstream(dir + "/VESPREC.INI", std::ios::binary)
      << "[General]\r\nCom=" << com << "\r\nLog=" << dir << "/vrec.log\r\n"
      << SiteKeys(dir, options);
}

Figures OverPty(const Options& options) {
  Figures f;
  const std::string dir = MakeDir();
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    f.error = "no pseudo-terminal";
    return f;
  }
  const std::string slave = ::ptsname(master);
  // Raw, as a serial line: the pty's line discipline must not touch records.
  const int held = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  ::tcgetattr(held, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(held, TCSANOW, &t);
  WriteIni(dir, slave, options);
  const pid_t recorder = StartRecorder(options, dir);
  f = Measure(options, master, dir + "/dati.txt", recorder);
  StopRecorder(recorder);
  ::close(held);
  ::close(master);
  std::filesystem::remove_all(dir);
  return f;
}

Figures OverTcp(const Options& options) {
  Figures f;
  const std::string dir = MakeDir();
  std::uint32_t error = 0;
  const vr::net::SocketHandle listener = vr::net::Listen("127.0.0.1", "0", error);
  if (listener == vr::net::kNoSocket) {
    f.error = "cannot listen: " + std::string(std::strerror(static_cast<int>(error)));
    return f;
  }
  WriteIni(dir, "tcp:127.0.0.1:" + vr::net::LocalPort(listener), options);
  const pid_t recorder = StartRecorder(options, dir);
  vr::net::Wait(vr::net::kNoSocket, false, false, listener, 20000, nullptr);
  std::string peer;
  const vr::net::SocketHandle connection = vr::net::Accept(listener, peer);
  if (connection == vr::net::kNoSocket) {
    f.error = "the recorder did not connect";
  } else {
    f = Measure(options, static_cast<int>(connection), dir + "/dati.txt", recorder);
    vr::net::Close(connection);
  }
  StopRecorder(recorder);
  vr::net::Close(listener);
  std::filesystem::remove_all(dir);
  return f;
}

void Print(const char* line, const Options& options, Figures f) {
  if (!f.error.empty()) {
    std::printf("%-14s %s\n", line, f.error.c_str());
    return;
  }
  std::sort(f.ms.begin(), f.ms.end());
  auto at = [&](double q) { return f.ms[static_cast<std::size_t>(q * static_cast<double>(f.ms.size() - 1))]; };
  char interval[16] = "-";
  if (options.intervalMs > 0) std::snprintf(interval, sizeof interval, "%d ms", options.intervalMs);
  char cpu[24] = "?";
  if (f.cpuNs >= 0)
    std::snprintf(cpu, sizeof cpu, "%.1f",
                  static_cast<double>(f.cpuNs) / 1000.0 / static_cast<double>(f.ms.size()));
  std::printf("%-14s %7d ms %9s %7d %8zu %8.1f %8.1f %8.1f %8.1f %10s\n", line,
              options.readTenths * 100, interval, options.baud, f.ms.size(), f.ms.front(),
              at(0.5), at(0.95), f.ms.back(), cpu);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool header = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--vesprec" && v) {
      options.vesprec = argv[++i];
    } else if (a == "--records" && v) {
      options.records = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--gap-ms" && v) {
      options.gapMs = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--read-tenths" && v) {
      options.readTenths = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--interval-ms" && v) {
      options.intervalMs = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--baud" && v) {
      options.baud = std::max(50, std::atoi(argv[++i]));
    } else if (a == "--line" && v) {
      const std::string line = argv[++i];
      options.pty = line != "tcp";
      options.tcp = line != "pty";
    } else if (a == "--no-header") {
      header = false;
    } else {
      std::fprintf(stderr,
                   "usage: record_latency --vesprec PATH [--records N] [--gap-ms MS] "
                   "[--read-tenths T] [--interval-ms MS] [--baud B] [--line pty|tcp|both] "
                   "[--no-header]\n");
      return 2;
    }
  }
  if (options.vesprec.empty()) {
    std::fprintf(stderr, "record_latency: --vesprec PATH is needed\n");
    return 2;
  }
  if (header) {
    std::printf("From the exchange's write to the data file, one record at a time (ms), and the\n"
                "recorder's CPU time per record (us):\n");
    std::printf("%-14s %10s %9s %7s %8s %8s %8s %8s %8s %10s\n", "line", "STimeRead",
                "interval", "baud", "records", "min", "median", "p95", "max", "cpu/rec");
  }
  if (options.pty) Print("direct (pty)", options, OverPty(options));
  if (options.tcp) Print("tcp", options, OverTcp(options));
  std::fflush(stdout);
  return 0;
}
