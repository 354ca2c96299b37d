#include "sim/avaya_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/records.h"

namespace vr::sim {
namespace {

constexpr const char* kAvayaHelp = R"(Usage:
  vesper-sim avaya [--password PW] [--records N] [--rate PER_SECOND]
                   [--burst N] [--drop-after N] [--file RECORDS.TXT]
                   [--listen ADDRESS] [--port N] [--seed N] [--sent FILE]
                   [--exit-when-done]

Plays an exchange that hands out its call records over the network, for the
call-log library stand-in (libDevLink.so, DevLink.dll). It listens on a TCP
port and prints ADDRESS:PORT, the value for IndirizzoIP, on the first line of
its output. A client logs in by sending the password and a line feed; it is
answered OK (or DENIED, and the connection is closed), then gets one record
a line, each ending in CR LF. One client at a time. Records are made only
while a client is logged in.

  --password PW      the password a client must send (default vesper)
  --records N        records to hand out, 0 for no end (default 20)
  --rate PER_SECOND  records per second, 0 for as fast as possible (default 1)
  --burst N          on SIGUSR1 send the next N records back to back
  --drop-after N     drop the link (a reset) after N records, once
  --file FILE        hand out the lines of this file instead of made-up records
  --listen ADDRESS   address to listen on (default 127.0.0.1)
  --port N           port to listen on, 0 for any free one (default 0)
  --seed N           seed of the made-up records (default 1)
  --sent FILE        write each record handed over to FILE, with its CR LF
  --exit-when-done   end once every record has been handed over

SIGUSR2 drops the link on demand; the client's library connects again.
Standard error tells "link up N after R records" and "link dropped after R
records" (R: records handed over so far).
)";

int g_pipe[2] = {-1, -1};
constexpr char kStop = 1;
constexpr char kBurst = 2;
constexpr char kDrop = 3;

void OnSignal(int signalNumber) {
  const char byte = signalNumber == SIGUSR1 ? kBurst : signalNumber == SIGUSR2 ? kDrop : kStop;
  [[maybe_unused]] auto written = write(g_pipe[1], &byte, 1);
}

struct AvayaOptions {
  std::string password = "vesper";
  long records = 20;
  double rate = 1;
  long burst = 0;
  long dropAfter = 0;
  std::string listenAddress = "127.0.0.1";
  long port = 0;
  long seed = 1;
  std::string sentPath;
  bool exitWhenDone = false;
  std::vector<std::string> fileRecords;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "vesper-sim: %s\nTry vesper-sim avaya --help.\n", problem.c_str());
  return 2;
}

bool Number(const char* text, long min, long max, long& value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  value = v;
  return true;
}

// 0, or the exit status (-1: help shown).
int Parse(int argc, char** argv, AvayaOptions& o) {
  for (int i = 2; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(kAvayaHelp, stdout);
      return -1;
    }
    if (name == "--exit-when-done") {
      o.exitWhenDone = true;
      continue;
    }
    if (i + 1 >= argc) return Usage(name + " needs a value");
    const char* v = argv[++i];
    bool ok = true;
    if (name == "--password") {
      o.password = v;
      ok = o.password.find('\n') == std::string::npos;
    } else if (name == "--records") {
      ok = Number(v, 0, 100000000, o.records);
    } else if (name == "--rate") {
      char* end = nullptr;
      o.rate = std::strtod(v, &end);
      ok = end != v && *end == '\0' && o.rate >= 0 && o.rate <= 1e6;
    } else if (name == "--burst") {
      ok = Number(v, 1, 100000000, o.burst);
    } else if (name == "--drop-after") {
      ok = Number(v, 1, 100000000, o.dropAfter);
    } else if (name == "--file") {
      ok = ReadRecordLines(v, o.fileRecords);
    } else if (name == "--listen") {
      o.listenAddress = v;
    } else if (name == "--port") {
      ok = Number(v, 0, 65535, o.port);
    } else if (name == "--seed") {
      ok = Number(v, 0, 0xFFFFFFFFL, o.seed);
    } else if (name == "--sent") {
      o.sentPath = v;
    } else {
      return Usage("unknown option " + name);
    }
    if (!ok) return Usage("bad value for " + name + ": " + v);
  }
  return 0;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A reset rather than an orderly close: what is in flight may be lost, as
// on a link that really breaks.
void Drop(int& fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
  fd = -1;
}

class Server {
 public:
  explicit Server(const AvayaOptions& o) : o_(o), generator_(static_cast<std::uint32_t>(o.seed)) {
    total_ = o.fileRecords.empty() ? o.records : static_cast<long>(o.fileRecords.size());
    if (!o.fileRecords.empty() && o.records > 0 && o.records < total_) total_ = o.records;
  }

  int Run() {
    const int listener = Listen();
    if (listener < 0) return 1;
    if (!o_.sentPath.empty()) {
      sent_ = std::fopen(o_.sentPath.c_str(), "wb");
      if (sent_ == nullptr) {
        std::fprintf(stderr, "vesper-sim: cannot write %s\n", o_.sentPath.c_str());
        return 1;
      }
    }
    const auto start = std::chrono::steady_clock::now();
    auto nowUs = [&] {
      return std::chrono::duration_cast<std::chrono::microseconds>(
                 std::chrono::steady_clock::now() - start)
          .count();
    };
    const long long intervalUs = o_.rate == 0 ? 0 : std::llround(1e6 / o_.rate);
    long long nextUs = 0;
    std::string login;
    for (;;) {
      if (Done() && o_.exitWhenDone) break;
      int timeoutMs = 1000;
      if (loggedIn_ && !Done()) {
        const long long now = nowUs();
        // Records due now (all of a burst) go out at once.
        while (loggedIn_ && !Done() && (burstLeft_ > 0 || intervalUs == 0 || nextUs <= now)) {
          if (!SendRecord()) break;
          if (burstLeft_ > 0) {
            --burstLeft_;
            if (burstLeft_ == 0) std::fprintf(stderr, "vesper-sim: burst done after %ld records\n", sentCount_);
          } else {
            nextUs = (nextUs <= now - intervalUs ? now : nextUs) + intervalUs;
          }
          if (intervalUs == 0 && burstLeft_ == 0) break;  // look at signals between records
        }
        if (loggedIn_ && !Done()) {
          const long long waitUs = intervalUs == 0 || burstLeft_ > 0 ? 0 : nextUs - nowUs();
          timeoutMs = waitUs <= 0 ? 0 : static_cast<int>(std::min<long long>((waitUs + 999) / 1000, 1000));
        }
      }
      pollfd fds[3] = {{g_pipe[0], POLLIN, 0}, {listener, POLLIN, 0}, {client_, POLLIN, 0}};
      if (poll(fds, 3, timeoutMs) < 0 && errno != EINTR) return 1;
      if (fds[0].revents & POLLIN) {
        char signals[16];
        const ssize_t n = read(g_pipe[0], signals, sizeof signals);
        bool stop = n <= 0;
        for (ssize_t i = 0; i < n; ++i) {
          if (signals[i] == kBurst && o_.burst > 0) {
            std::fprintf(stderr, "vesper-sim: burst of %ld records after %ld records\n", o_.burst, sentCount_);
            burstLeft_ = o_.burst;
          } else if (signals[i] == kDrop) {
            DropLink();
          } else if (signals[i] != kBurst) {
            stop = true;
          }
        }
        if (stop) break;
      }
      if (fds[1].revents & POLLIN) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          // One client at a time: a new one takes the place of the old.
          if (client_ >= 0) close(client_);
          client_ = fd;
          loggedIn_ = false;
          login.clear();
        }
      } else if (client_ >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buffer[256];
        const ssize_t n = recv(client_, buffer, sizeof buffer, 0);
        if (n <= 0) {
          if (loggedIn_) std::fprintf(stderr, "vesper-sim: link closed by the client after %ld records\n", sentCount_);
          close(client_);
          client_ = -1;
          loggedIn_ = false;
        } else if (!loggedIn_) {
          login.append(buffer, static_cast<std::size_t>(n));
          const std::size_t end = login.find('\n');
          if (end != std::string::npos) Login(login.substr(0, end));
        }
      }
    }
    if (client_ >= 0) close(client_);
    close(listener);
    if (sent_ != nullptr) std::fclose(sent_);
    return 0;
  }

 private:
  bool Done() const { return total_ > 0 && sentCount_ >= total_; }

  int Listen() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(o_.port));
    if (inet_pton(AF_INET, o_.listenAddress.c_str(), &address.sin_addr) != 1) {
      std::fprintf(stderr, "vesper-sim: not an IPv4 address: %s\n", o_.listenAddress.c_str());
      return -1;
    }
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0) {
      std::fprintf(stderr, "vesper-sim: cannot listen: %s\n", std::strerror(errno));
      return -1;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("%s:%d\n", o_.listenAddress.c_str(), ntohs(address.sin_port));
    std::fflush(stdout);
    std::fprintf(stderr, "vesper-sim: avaya exchange on %s:%d\n", o_.listenAddress.c_str(),
                 ntohs(address.sin_port));
    return fd;
  }

  void Login(std::string password) {
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password != o_.password) {
      std::fprintf(stderr, "vesper-sim: password refused\n");
      SendAll(client_, "DENIED\r\n");
      close(client_);
      client_ = -1;
      return;
    }
    if (!SendAll(client_, "OK\r\n")) return;
    loggedIn_ = true;
    ++connections_;
    std::fprintf(stderr, "vesper-sim: link up %d after %ld records\n", connections_, sentCount_);
  }

  void DropLink() {
    if (client_ < 0) return;
    Drop(client_);
    loggedIn_ = false;
    std::fprintf(stderr, "vesper-sim: link dropped after %ld records\n", sentCount_);
  }

  std::string NextRecord() {
    if (!pendingAgain_.empty()) return pendingAgain_;
    if (!o_.fileRecords.empty()) return o_.fileRecords[static_cast<std::size_t>(sentCount_)];
    return generator_.Next();
  }

  bool SendRecord() {
    const std::string line = NextRecord() + "\r\n";
    if (!SendAll(client_, line)) {
      // Not handed over: the same record goes out again on the next link.
      std::fprintf(stderr, "vesper-sim: link lost after %ld records\n", sentCount_);
      close(client_);
      client_ = -1;
      loggedIn_ = false;
      pendingAgain_ = line.substr(0, line.size() - 2);
      return false;
    }
    pendingAgain_.clear();
    ++sentCount_;
    if (sent_ != nullptr) {
      std::fwrite(line.data(), 1, line.size(), sent_);
      std::fflush(sent_);
    }
    if (o_.dropAfter > 0 && sentCount_ == o_.dropAfter && !dropped_) {
      dropped_ = true;
      DropLink();
    }
    return true;
  }

  const AvayaOptions& o_;
  CallRecordGenerator generator_;
  long total_ = 0;  // 0: no end
  long sentCount_ = 0;
  long burstLeft_ = 0;
  int client_ = -1;
  bool loggedIn_ = false;
  bool dropped_ = false;
  int connections_ = 0;
  std::string pendingAgain_;
  std::FILE* sent_ = nullptr;
};

}  // namespace

int RunAvayaSimulator(int argc, char** argv) {
  AvayaOptions options;
  const int parsed = Parse(argc, argv, options);
  if (parsed == -1) return 0;
  if (parsed != 0) return parsed;
  if (pipe(g_pipe) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Server server(options);
  return server.Run();
}

}  // namespace vr::sim
