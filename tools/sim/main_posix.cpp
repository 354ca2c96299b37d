// vesper-sim: the device models of vr_sim on a real line, in real time.
//
// It creates a pty pair and prints the path of the end the recorder (or any
// terminal reader) opens, one line on standard output, then plays the device
// on the other end until it is stopped (SIGTERM, SIGINT, SIGHUP) or, with
// --exit-when-done, until everything has been handed over. With --tty it
// plays on an existing serial port instead.
//
// The models are the ones the tests drive under simulated time; here a
// poll() loop runs them against the steady clock: it sleeps until the
// model's next event or until the PC sends something.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "line/socket.h"
#include "sim/avaya_server.h"
#include "sim/device.h"
#include "sim/exchange.h"
#include "sim/hayes_modem.h"
#include "sim/kestrel_box.h"
#include "sim/records.h"

namespace vr::sim {
namespace {

constexpr const char* kVersion = "vesper-sim 1.0";
constexpr std::size_t kMaxPendingBytes = 64 * 1024;  // output the line has not taken yet
// The pty moves written bytes to the reader's queue a little later; the
// queue must look empty this long after the last write before we leave.
constexpr TimeUs kSettleUs = 500 * kUsPerMs;
// With --lost, how often a line without a reader is looked at.
constexpr int kLookForReaderMs = 10;

constexpr const char* kHelp = R"(Usage:
  vesper-sim exchange [--records N] [--rate PER_SECOND] [--line-end cr|lf|crlf]
                      [--flow xon|dtr|none] [--file RECORDS.TXT]
                      [--lost FILE] [--burst N] [common options]
  vesper-sim box --model KSTA|KSTB|KSTC|KSTD [--records N]
                 [--fault checksum|echo|short|stray|silent] [--fault-times N]
                 [--block-bytes N] [common options]
  vesper-sim avaya [--password PW] [--records N] [--rate PER_SECOND] [--burst N]
                   [--drop-after N] ... (vesper-sim avaya --help)
  vesper-sim --help | --version

Plays a telephone exchange printing call records, or a Kestrel call buffer
box, on a serial line, for trying Vesper Recorder without the real devices.
By default it creates a pseudo-terminal and prints the path of the end to
open (for example /dev/pts/5) on the first line of its output; it runs until
it is stopped with Ctrl-C or SIGTERM.

Try it:
  vesper-sim exchange --rate 2          # prints /dev/pts/N
  cat /dev/pts/N                        # in another terminal: the records
  printf '\023' > /dev/pts/N            # XOFF: the exchange holds
  printf '\021' > /dev/pts/N            # XON: it goes on

  vesper-sim box --model KSTD           # prints /dev/pts/N
  od -c < /dev/pts/N                    # in one terminal
  printf '\021' > /dev/pts/N            # resume: echo, then one counted block
  printf '\002' > /dev/pts/N            # status request: echo, 39 bytes of status

Then point the recorder's Com setting at the same path.

Exchange:
  --records N          records to print, 0 for no end (default 20)
  --rate PER_SECOND    records per second, 0 for as fast as the line (default 1)
  --line-end cr|lf|crlf  line end of each record (default crlf)
  --split-line-end MS  send the second byte of a CR LF line end MS after the
                       first: a reader's read time-out falls inside the pair
  --flow xon|dtr|none  flow control the exchange obeys (default xon); dtr needs
                       --tty, a pseudo-terminal has no control lines
  --file RECORDS.TXT   print the lines of this file instead of made-up records
  --lost FILE          the pseudo-terminal loses what nobody reads, as a serial
                       port does: while no program has the line open, what the
                       exchange prints is dropped (an exchange held by XOFF
                       stays held; an --unpaced one or one in a burst waits for
                       a reader), and what a reader left unread when it closed
                       the line is taken back and dropped; the exclusive use a
                       reader that died left on the line is cleared, as the
                       last close of a real port does (that needs root). FILE
                       gets one line per event, as byte offsets into what the
                       exchange printed (the --sent text) and record numbers
                       (from 1, a record counted with its line end):
                         gone BYTE RECORD    a reader closed the line; it took
                                             everything before BYTE
                         lost FROM TO FIRST LAST  bytes FROM..TO-1 were never
                                             taken (records FIRST..LAST touched)
                         back BYTE RECORD    a reader opened the line
                         unsure FROM TO      bytes whose fate is not known
                         end BYTES RECORDS   what was printed in all
  --burst N            on SIGUSR1 print the next N records back to back, as
                       fast as the reader takes them, then go on at the rate;
                       "burst done" on standard error when they are out

Box:
  --model KSTA|KSTB|KSTC|KSTD  the box model (KSTD sends counted blocks)
  --records N          records stored in the box (default 50)
  --fault KIND         checksum: wrong block checksum; echo: no echo of the
                       resume; short: a block that stops short; stray: stray
                       bytes before an answer; silent: commands not answered
  --fault-times N      how many times the fault strikes, 0 for always (default 1)
  --block-bytes N      largest KSTD block (default 1024, at most 4096)

Common options:
  --baud N             line speed the device sends at (default 9600)
  --unpaced            send as fast as the reader takes the bytes, whatever
                       --baud says (a pseudo-terminal has no line speed):
                       with --rate 0, several MB a second for a long soak
  --seed N             seed of the made-up records (default 1)
  --modem              put a Hayes modem in front of the device: dial any
                       number (e.g. "0123\n\r" or "atdt0123\r"); "+++" and
                       "ath" hang up. A pseudo-terminal has no carrier line;
                       with --tty the carrier drives our DTR
  --connect-ms MS      modem: from the dial to the carrier (default 3000)
  --modem-fail silent|nocarrier|never  modem: a dead modem, a dial answered
                       NO CARRIER, or a dial that never ends
  --tty PATH           use this serial port instead of a pseudo-terminal
  --tcp [ADDRESS:]PORT serve the device on a TCP port instead (ADDRESS
                       default 127.0.0.1, PORT 0 for any free one): prints
                       ADDRESS:PORT first; one connection at a time, the next
                       taken when it ends; nothing is printed meanwhile
  --tcp-connect HOST:PORT  connect to the recorder (Com=tcp-listen:PORT)
                       instead, again whenever the connection ends
  --drop-link          with --tcp or --tcp-connect: on SIGUSR2 close the
                       connection (after what was written), as an exchange
                       that restarts; the next one resumes with what was not
                       written yet
  --sent FILE          write the record text handed over to FILE as it goes
                       (all the exchange printed; what the box had acknowledged;
                       with --lost, what no reader took is listed there)
  --exit-when-done     end once every record has been handed over and read
)";

struct Options {
  bool box = false;
  ExchangeConfig exchange;
  KestrelConfig kestrel;
  bool modelGiven = false;
  std::optional<BoxFault> fault;
  bool faultEcho = false;
  int faultTimes = 1;
  bool modem = false;
  ModemConfig modemConfig;
  std::string tty;
  std::string sentPath;
  bool exitWhenDone = false;
  bool unpaced = false;
  std::string lostPath;
  int burstRecords = 0;
  std::string tcpListen;   // [ADDRESS:]PORT
  std::string tcpConnect;  // HOST:PORT
  bool dropLink = false;
};

bool ParseLong(const char* text, long min, long max, long& value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  value = v;
  return true;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "vesper-sim: %s\nTry vesper-sim --help.\n", problem.c_str());
  return 2;
}

// 0 when parsed; otherwise the exit code (0 after --help or --version is -1).
int ParseOptions(int argc, char** argv, Options& options) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return -1;
    }
    if (a == "--version") {
      std::puts(kVersion);
      return -1;
    }
  }
  if (args.empty()) return Usage("say exchange, box or avaya");
  if (args[0] == "box") {
    options.box = true;
  } else if (args[0] != "exchange") {
    return Usage("unknown device '" + args[0] + "'");
  }
  options.exchange.generatedRecords = 20;
  options.exchange.intervalUs = kUsPerSecond;
  options.kestrel.generatedRecords = 50;
  options.modemConfig.connectDelayUs = 3 * kUsPerSecond;
  std::uint32_t baud = 9600;
  std::uint32_t seed = 1;
  std::vector<std::string> fileRecords;

  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& name = args[i];
    auto value = [&]() -> const char* {
      return i + 1 < args.size() ? args[++i].c_str() : nullptr;
    };
    long number = 0;
    if (name == "--modem") {
      options.modem = true;
    } else if (name == "--exit-when-done") {
      options.exitWhenDone = true;
    } else if (name == "--unpaced") {
      options.unpaced = true;
    } else if (name == "--drop-link") {
      options.dropLink = true;
    } else {
      const char* v = value();
      if (v == nullptr) return Usage(name + " needs a value");
      const std::string text = v;
      if (name == "--records" && ParseLong(v, 0, 10000000, number)) {
        options.exchange.generatedRecords = static_cast<int>(number);
        options.kestrel.generatedRecords = static_cast<int>(number);
      } else if (name == "--rate") {
        char* end = nullptr;
        const double rate = std::strtod(v, &end);
        if (end == v || *end != '\0' || !(rate >= 0) || rate > 100000) {
          return Usage("bad --rate '" + text + "'");
        }
        options.exchange.intervalUs =
            rate == 0 ? 0 : static_cast<TimeUs>(std::llround(1e6 / rate));
      } else if (name == "--split-line-end" && ParseLong(v, 1, 60000, number)) {
        options.exchange.lineEndPauseUs = static_cast<TimeUs>(number) * 1000;
      } else if (name == "--line-end" && (text == "cr" || text == "lf" || text == "crlf")) {
        const LineEnd end = text == "cr" ? LineEnd::kCr
                            : text == "lf" ? LineEnd::kLf
                                           : LineEnd::kCrLf;
        options.exchange.lineEnd = end;
        options.kestrel.lineEnd = end;
      } else if (name == "--flow" && (text == "xon" || text == "dtr" || text == "none")) {
        options.exchange.flow = text == "xon"   ? ExchangeFlow::kXonXoff
                                : text == "dtr" ? ExchangeFlow::kDtrRts
                                                : ExchangeFlow::kNone;
      } else if (name == "--file") {
        if (!ReadRecordLines(text, fileRecords)) return Usage("cannot read " + text);
      } else if (name == "--model") {
        if (!ParseKestrelModel(text, options.kestrel.model)) {
          return Usage("unknown box model '" + text + "'");
        }
        options.modelGiven = true;
      } else if (name == "--fault") {
        if (text == "checksum") {
          options.fault = BoxFault::kBadChecksum;
        } else if (text == "short") {
          options.fault = BoxFault::kShortBlock;
        } else if (text == "stray") {
          options.fault = BoxFault::kStrayBytes;
        } else if (text == "silent") {
          options.fault = BoxFault::kNoAnswer;
        } else if (text == "echo") {
          options.faultEcho = true;
        } else {
          return Usage("unknown fault '" + text + "'");
        }
      } else if (name == "--fault-times" && ParseLong(v, 0, 1000000, number)) {
        options.faultTimes = number == 0 ? -1 : static_cast<int>(number);
      } else if (name == "--block-bytes" &&
                 ParseLong(v, 1, static_cast<long>(kKstdMaxBlockBytes), number)) {
        options.kestrel.blockMaxBytes = static_cast<std::size_t>(number);
      } else if (name == "--baud" && ParseLong(v, 50, 4000000, number)) {
        baud = static_cast<std::uint32_t>(number);
      } else if (name == "--seed" && ParseLong(v, 0, 0xFFFFFFFFL, number)) {
        seed = static_cast<std::uint32_t>(number);
      } else if (name == "--connect-ms" && ParseLong(v, 0, 3600000, number)) {
        options.modemConfig.connectDelayUs = number * kUsPerMs;
      } else if (name == "--modem-fail" &&
                 (text == "silent" || text == "nocarrier" || text == "never")) {
        if (text == "silent") options.modemConfig.answers = false;
        if (text == "nocarrier") {
          options.modemConfig.dialResult = DialResult::kNoCarrier;
          options.modemConfig.noCarrierDelayUs = 10 * kUsPerSecond;
        }
        if (text == "never") options.modemConfig.dialResult = DialResult::kNothing;
      } else if (name == "--tty") {
        options.tty = text;
      } else if (name == "--tcp") {
        options.tcpListen = text;
      } else if (name == "--tcp-connect") {
        options.tcpConnect = text;
      } else if (name == "--sent") {
        options.sentPath = text;
      } else if (name == "--lost") {
        options.lostPath = text;
      } else if (name == "--burst" && ParseLong(v, 1, 10000000, number)) {
        options.burstRecords = static_cast<int>(number);
      } else {
        return Usage("bad option or value: " + name + " " + text);
      }
    }
  }
  if (options.box && !options.modelGiven) return Usage("box needs --model");
  const bool tcp = !options.tcpListen.empty() || !options.tcpConnect.empty();
  if (!options.tcpListen.empty() && !options.tcpConnect.empty())
    return Usage("--tcp or --tcp-connect, not both");
  if (tcp && (!options.tty.empty() || !options.lostPath.empty() || options.modem))
    return Usage("--tcp and --tcp-connect go without --tty, --lost and --modem");
  if (options.dropLink && !tcp) return Usage("--drop-link needs --tcp or --tcp-connect");
  if (options.box && (!options.lostPath.empty() || options.burstRecords > 0))
    return Usage("--lost and --burst are for the exchange");
  // A serial port cannot tell us whether anybody has it open.
  if (!options.tty.empty() && !options.lostPath.empty())
    return Usage("--lost needs the pseudo-terminal, not --tty");
  options.exchange.baud = options.kestrel.baud = options.modemConfig.baud = baud;
  options.exchange.seed = options.kestrel.seed = seed;
  if (!fileRecords.empty()) {
    options.exchange.records = fileRecords;
    options.kestrel.records = fileRecords;
  }
  return 0;
}

// --- The line ---

int g_signalPipe[2] = {-1, -1};  // the signal handlers' way into poll()
constexpr char kSignalStop = 1;
constexpr char kSignalBurst = 2;
constexpr char kSignalDrop = 3;

void OnSignal(int) {
  const char byte = kSignalStop;
  [[maybe_unused]] auto written = write(g_signalPipe[1], &byte, 1);
}

void OnBurstSignal(int) {
  const char byte = kSignalBurst;
  [[maybe_unused]] auto written = write(g_signalPipe[1], &byte, 1);
}

void OnDropSignal(int) {
  const char byte = kSignalDrop;
  [[maybe_unused]] auto written = write(g_signalPipe[1], &byte, 1);
}

speed_t SpeedFor(std::uint32_t baud) {
  switch (baud) {
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
  }
}

// Raw bytes both ways, and no flow control of the line discipline's own:
// XON and XOFF from the reader must reach the model.
bool MakeRaw(int fd, std::uint32_t baud) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, SpeedFor(baud));
  cfsetospeed(&t, SpeedFor(baud));
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

struct Line {
  int fd = -1;          // the end the device plays on; a connection: -1 while there is none
  int readerFd = -1;    // pty only: the recorder's end, held open by us
  bool tty = false;
  bool socket = false;
  ~Line() {
    if (fd >= 0) close(fd);
    if (readerFd >= 0) close(readerFd);
  }
};

bool OpenPty(Line& line, std::uint32_t baud, std::string& path) {
  line.fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0) return false;
  const char* name = ptsname(line.fd);
  if (name == nullptr) return false;
  path = name;
  // Holding the recorder's end open keeps the pty alive between readers
  // (no hang-up when a reader closes) and lets us set it raw for them.
  line.readerFd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (line.readerFd < 0 || !MakeRaw(line.readerFd, baud)) return false;
  return fcntl(line.fd, F_SETFL, fcntl(line.fd, F_GETFL) | O_NONBLOCK) == 0;
}

bool OpenTty(Line& line, const std::string& path, std::uint32_t baud) {
  line.tty = true;
  line.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  return line.fd >= 0 && MakeRaw(line.fd, baud);
}

// Bytes that have not reached the reader yet (the pty's queue toward it).
int PendingForReader(const Line& line) {
  int pending = 0;
  if (line.readerFd >= 0 && ioctl(line.readerFd, FIONREAD, &pending) != 0) pending = 0;
  // A connection: what the far end has not acknowledged yet.
  if (line.socket && line.fd >= 0 && ioctl(line.fd, TIOCOUTQ, &pending) != 0) pending = 0;
  return pending;
}

// --- The line as a TCP connection (--tcp, --tcp-connect) ---

constexpr int kReconnectMs = 200;

// Splits [ADDRESS:]PORT (listen) or HOST:PORT (connect).
bool SplitHostPort(const std::string& text, bool needHost, std::string& host, std::string& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    if (needHost) return false;
    host = "127.0.0.1";
    port = text;
  } else {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
  }
  return !host.empty() && !port.empty();
}

// A connection to host:port, or -1; waits at most a second.
int ConnectTo(const std::string& host, const std::string& port) {
  const net::ConnectStart start = net::StartConnect(host, port);
  if (start.socket == net::kNoSocket) return -1;
  if (start.inProgress) {
    net::Wait(start.socket, false, true, net::kNoSocket, 1000, nullptr);
    if (net::ConnectError(start.socket) != 0) {
      net::Close(start.socket);
      return -1;
    }
  }
  return static_cast<int>(start.socket);
}

class Output final : public ByteSink {
 public:
  void Put(std::uint8_t byte, TimeUs) override { bytes_ += static_cast<char>(byte); }
  // An unpaced device stops here until the line has taken some.
  bool Full() const override { return bytes_.size() >= kMaxPendingBytes; }
  bool Empty() const { return bytes_.empty(); }
  std::size_t Size() const { return bytes_.size(); }
  // Writes what the line takes now (appended to *taken when given); false on
  // a lasting error.
  bool Flush(int fd, TimeUs nowUs, std::string* taken = nullptr) {
    while (!bytes_.empty()) {
      const ssize_t n = write(fd, bytes_.data(), bytes_.size());
      if (n > 0) {
        if (taken != nullptr) taken->append(bytes_, 0, static_cast<std::size_t>(n));
        bytes_.erase(0, static_cast<std::size_t>(n));
        lastWriteUs_ = nowUs;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EIO);
    }
    return true;
  }
  TimeUs LastWriteUs() const { return lastWriteUs_; }
  // Everything waiting, which the line will never take.
  std::string TakeAll() { return std::exchange(bytes_, std::string()); }

 private:
  std::string bytes_;
  TimeUs lastWriteUs_ = 0;
};

// --- A line that loses what nobody reads (--lost) ---

// True while some program has the reader's end open: with nobody there the
// master side reports a hang-up.
bool ReaderPresent(int masterFd) {
  pollfd p{masterFd, POLLIN, 0};
  if (poll(&p, 1, 0) < 0) return true;
  return (p.revents & POLLHUP) == 0;
}

// Keeps account of where each byte the exchange printed went: into the pty
// for a reader, or nowhere. Offsets count the bytes in the order printed
// (the --sent text); a record is numbered from 1 and ends with `terminator`.
class LineAccount {
 public:
  LineAccount(std::FILE* log, std::string readerPath, char terminator)
      : log_(log), readerPath_(std::move(readerPath)), terminator_(terminator) {
    // Nobody reads yet: what comes before the first reader is lost.
    StartLoss(0, 1);
  }

  bool Present() const { return present_; }

  void Written(const std::string& bytes) {
    Advance(bytes);
    tail_ += bytes;
    if (tail_.size() > 2 * kTailBytes) tail_.erase(0, tail_.size() - kTailBytes);
  }

  void Dropped(const std::string& bytes) {
    if (bytes.empty()) return;
    if (!losing_) StartLoss(offset_, endsBefore_ + 1);
    Advance(bytes);
  }

  // The last reader closed the line. What it left in the pty's queue is
  // taken back (a real port forgets it at the close) and counted lost.
  void ReaderGone() {
    present_ = false;
    std::string drained;
    bool known = Drain(drained);
    // The queue holds the newest bytes written; anything else means that
    // somebody else read part of them meanwhile.
    if (known && (drained.size() > tail_.size() ||
                  tail_.compare(tail_.size() - drained.size(), drained.size(), drained) != 0))
      known = false;
    if (!known) {
      const std::uint64_t from = offset_ - std::min<std::uint64_t>(offset_, kQueueBoundBytes);
      std::fprintf(log_, "unsure %llu %llu\n", static_cast<unsigned long long>(from),
                   static_cast<unsigned long long>(offset_));
      drained.clear();
    }
    tail_.clear();
    const std::uint64_t gone = offset_ - drained.size();
    const std::uint64_t ends = endsBefore_ - static_cast<std::uint64_t>(std::count(
                                                 drained.begin(), drained.end(), terminator_));
    std::fprintf(log_, "gone %llu %llu\n", static_cast<unsigned long long>(gone),
                 static_cast<unsigned long long>(ends + 1));
    StartLoss(gone, ends + 1);
    std::fflush(log_);
  }

  void ReaderBack() {
    present_ = true;
    EndLoss();
    std::fprintf(log_, "back %llu %llu\n", static_cast<unsigned long long>(offset_),
                 static_cast<unsigned long long>(endsBefore_ + 1));
    std::fflush(log_);
  }

  void End(int records) {
    EndLoss();
    std::fprintf(log_, "end %llu %d%s\n", static_cast<unsigned long long>(offset_), records,
                 present_ ? " reader-present" : "");
    std::fflush(log_);
  }

 private:
  // Enough for what the pty can hold toward the reader (its line discipline
  // and its buffers), with room to spare.
  static constexpr std::size_t kTailBytes = 512 * 1024;
  static constexpr std::uint64_t kQueueBoundBytes = 128 * 1024;

  void Advance(const std::string& bytes) {
    offset_ += bytes.size();
    endsBefore_ += static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), terminator_));
    if (!bytes.empty()) lastByte_ = bytes.back();
  }

  void StartLoss(std::uint64_t from, std::uint64_t firstRecord) {
    losing_ = true;
    lostFrom_ = from;
    lostFirstRecord_ = firstRecord;
  }

  void EndLoss() {
    if (losing_ && offset_ > lostFrom_) {
      const std::uint64_t lastRecord = endsBefore_ + 1 - (lastByte_ == terminator_ ? 1 : 0);
      std::fprintf(log_, "lost %llu %llu %llu %llu\n", static_cast<unsigned long long>(lostFrom_),
                   static_cast<unsigned long long>(offset_),
                   static_cast<unsigned long long>(lostFirstRecord_),
                   static_cast<unsigned long long>(lastRecord));
    }
    losing_ = false;
  }

  // Reads what waits for a reader until the pty has stayed empty a while
  // (it moves written bytes to the reader's queue a little later). Clears the
  // exclusive use a reader that died left behind, which would keep out the
  // next one unless it runs as root.
  bool Drain(std::string& drained) {
    const int fd = open(readerPath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      std::fprintf(stderr, "vesper-sim: cannot open %s to empty it: %s\n", readerPath_.c_str(),
                   std::strerror(errno));
      return false;
    }
    ioctl(fd, TIOCNXCL);
    int quietRounds = 0;
    while (quietRounds < kQuietRounds) {
      char buffer[4096];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        drained.append(buffer, static_cast<std::size_t>(n));
        quietRounds = 0;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      ++quietRounds;
      poll(nullptr, 0, kQuietRoundMs);
    }
    close(fd);
    return true;
  }
  static constexpr int kQuietRounds = 10;
  static constexpr int kQuietRoundMs = 5;

  std::FILE* log_;
  std::string readerPath_;
  char terminator_;
  bool present_ = false;
  std::uint64_t offset_ = 0;      // bytes that have left the output
  std::uint64_t endsBefore_ = 0;  // record ends among them
  char lastByte_ = 0;
  std::string tail_;  // the newest bytes written into the pty
  bool losing_ = false;
  std::uint64_t lostFrom_ = 0;
  std::uint64_t lostFirstRecord_ = 0;
};

TimeUs SteadyNowUs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now() - start)
      .count();
}

int Run(const Options& options) {
  std::unique_ptr<Exchange> exchange;
  std::unique_ptr<KestrelBox> box;
  Device* device = nullptr;
  if (options.box) {
    box = std::make_unique<KestrelBox>(options.kestrel);
    if (options.fault) box->InjectFault(*options.fault, options.faultTimes);
    if (options.faultEcho) box->DropEcho(kBoxResume, options.faultTimes);
    device = box.get();
  } else {
    exchange = std::make_unique<Exchange>(options.exchange);
    device = exchange.get();
  }
  if (options.unpaced) {
    if (box)
      box->Unpace();
    else
      exchange->Unpace();
  }
  std::unique_ptr<HayesModem> modem;
  if (options.modem) {
    modem = std::make_unique<HayesModem>(*device, options.modemConfig);
    device = modem.get();
  }
  auto done = [&] { return box ? box->StoredBytes() == 0 : exchange->Done(); };

  Line line;
  std::string path;
  const std::uint32_t baud = options.exchange.baud;
  const bool tcp = !options.tcpListen.empty() || !options.tcpConnect.empty();
  std::string tcpHost;
  std::string tcpPort;
  net::SocketHandle listener = net::kNoSocket;
  if (tcp) {
    line.socket = true;
    const bool connecting = !options.tcpConnect.empty();
    if (!SplitHostPort(connecting ? options.tcpConnect : options.tcpListen, connecting, tcpHost,
                       tcpPort)) {
      return Usage("--tcp [ADDRESS:]PORT or --tcp-connect HOST:PORT");
    }
    if (!connecting) {
      std::uint32_t error = 0;
      listener = net::Listen(tcpHost, tcpPort, error);
      if (listener == net::kNoSocket) {
        std::fprintf(stderr, "vesper-sim: cannot listen on %s:%s: %s\n", tcpHost.c_str(),
                     tcpPort.c_str(), std::strerror(static_cast<int>(error)));
        return 1;
      }
      tcpPort = net::LocalPort(listener);
    }
    std::printf("%s%s:%s\n", connecting ? "tcp-connect " : "", tcpHost.c_str(), tcpPort.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "vesper-sim: %s %s %s:%s\n",
                 options.box ? KestrelModelName(options.kestrel.model) : "exchange",
                 connecting ? "connecting to" : "listening on", tcpHost.c_str(), tcpPort.c_str());
  } else if (options.tty.empty() ? !OpenPty(line, baud, path)
                                 : !OpenTty(line, options.tty, baud)) {
    std::fprintf(stderr, "vesper-sim: cannot open the line: %s\n", std::strerror(errno));
    return 1;
  }
  // The connection has ended, by the far end or by --drop-link.
  auto dropConnection = [&](const char* why) {
    if (line.fd < 0) return;
    close(line.fd);
    line.fd = -1;
    std::fprintf(stderr, "vesper-sim: connection %s\n", why);
  };
  TimeUs nextConnectUs = 0;
  std::FILE* sent = nullptr;
  if (!options.sentPath.empty()) {
    sent = std::fopen(options.sentPath.c_str(), "wb");
    if (sent == nullptr) {
      std::fprintf(stderr, "vesper-sim: cannot write %s\n", options.sentPath.c_str());
      return 1;
    }
  }
  if (pipe(g_signalPipe) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
  if (options.burstRecords > 0) {
    action.sa_handler = OnBurstSignal;
    sigaction(SIGUSR1, &action, nullptr);
  }
  if (options.dropLink) {
    action.sa_handler = OnDropSignal;
    sigaction(SIGUSR2, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);

  std::FILE* lostLog = nullptr;
  std::unique_ptr<LineAccount> account;
  if (!options.lostPath.empty()) {
    lostLog = std::fopen(options.lostPath.c_str(), "wb");
    if (lostLog == nullptr) {
      std::fprintf(stderr, "vesper-sim: cannot write %s\n", options.lostPath.c_str());
      return 1;
    }
    // Nobody but a reader may hold the reader's end now: its last close must
    // show as a hang-up.
    close(line.readerFd);
    line.readerFd = -1;
    account =
        std::make_unique<LineAccount>(lostLog, path, LineEndBytes(options.exchange.lineEnd).back());
  }

  if (!path.empty()) {
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "vesper-sim: %s on %s (try: cat %s)\n",
                 options.box ? KestrelModelName(options.kestrel.model) : "exchange",
                 path.c_str(), path.c_str());
  }

  const auto start = std::chrono::steady_clock::now();
  Output out;
  std::size_t sentWritten = 0;
  bool lastCarrier = !device->Carrier();
  int exitCode = 0;
  std::string taken;
  bool bursting = false;
  for (;;) {
    TimeUs nowUs = SteadyNowUs(start);
    if (tcp && line.fd < 0) {
      // No connection: the device waits (nothing is printed for nobody),
      // and the next connection is taken or made.
      if (listener != net::kNoSocket) {
        std::string peer;
        const net::SocketHandle incoming = net::Accept(listener, peer);
        if (incoming != net::kNoSocket) {
          line.fd = static_cast<int>(incoming);
          std::fprintf(stderr, "vesper-sim: connection from %s\n", peer.c_str());
        }
      } else if (nowUs >= nextConnectUs) {
        line.fd = ConnectTo(tcpHost, tcpPort);
        if (line.fd >= 0) std::fprintf(stderr, "vesper-sim: connected\n");
        nextConnectUs = SteadyNowUs(start) + kReconnectMs * kUsPerMs;
      }
      if (line.fd < 0) {
        pollfd idle[2] = {{static_cast<int>(listener), POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
        if (listener == net::kNoSocket) idle[0].fd = -1;
        if (poll(idle, 2, kReconnectMs) < 0 && errno != EINTR) {
          exitCode = 1;
          break;
        }
        if (idle[1].revents != 0) {
          char signals[16];
          const ssize_t n = read(g_signalPipe[0], signals, sizeof signals);
          bool stop = n <= 0;
          for (ssize_t i = 0; i < n; ++i)
            if (signals[i] == kSignalStop) stop = true;
          if (stop) break;
        }
        continue;
      }
    }
    if (account) {
      const bool present = ReaderPresent(line.fd);
      if (account->Present() && !present) {
        // The reader's last words (an XOFF, an XON) first.
        std::uint8_t buffer[256];
        ssize_t n;
        while ((n = read(line.fd, buffer, sizeof buffer)) > 0) {
          device->RunUntil(nowUs, out);
          for (ssize_t i = 0; i < n; ++i) device->Receive(buffer[i], nowUs);
        }
        account->ReaderGone();
        nowUs = SteadyNowUs(start);
      } else if (!account->Present() && present) {
        account->ReaderBack();
      }
    }
    // Nobody takes the bytes of an exchange that goes at the reader's pace.
    const bool waitsForReader = account && !account->Present() && !exchange->Paced();
    if (out.Size() < kMaxPendingBytes && !waitsForReader) device->RunUntil(nowUs, out);
    if (account && !account->Present()) {
      if (exchange->Paced()) account->Dropped(out.TakeAll());
    } else {
      taken.clear();
      if (!out.Flush(line.fd, nowUs, account ? &taken : nullptr)) {
        if (tcp) {
          // What was not written waits for the next connection.
          dropConnection("lost");
          continue;
        }
        std::fprintf(stderr, "vesper-sim: write: %s\n", std::strerror(errno));
        exitCode = 1;
        break;
      }
      if (account) account->Written(taken);
    }
    if (exchange && bursting != (exchange->BurstLeft() > 0)) {
      bursting = !bursting;
      if (!bursting)
        std::fprintf(stderr, "vesper-sim: burst done at record %d\n", exchange->RecordsSent());
    }
    if (exchange) {
      // Taken every round, --sent or not: an endless exchange would
      // otherwise keep all it ever printed.
      const std::string fresh = exchange->TakeSent();
      if (sent != nullptr && !fresh.empty()) {
        std::fwrite(fresh.data(), 1, fresh.size(), sent);
        std::fflush(sent);
      }
    } else if (sent != nullptr && box->Delivered().size() > sentWritten) {
      const std::string& delivered = box->Delivered();
      std::fwrite(delivered.data() + sentWritten, 1, delivered.size() - sentWritten, sent);
      std::fflush(sent);
      sentWritten = delivered.size();
    }
    if (line.tty) {
      // A real port: the modem's carrier becomes our DTR (the PC's DCD on a
      // null-modem cable), the PC's DTR and RTS come in as DSR and CTS.
      const bool carrier = device->Carrier();
      if (carrier != lastCarrier) {
        int bits = TIOCM_DTR;
        ioctl(line.fd, carrier ? TIOCMBIS : TIOCMBIC, &bits);
        lastCarrier = carrier;
      }
      int status = 0;
      if (ioctl(line.fd, TIOCMGET, &status) == 0) {
        device->SetPcLines((status & TIOCM_DSR) != 0, (status & TIOCM_CTS) != 0, nowUs);
      }
    }
    if (options.exitWhenDone && done() && out.Empty() &&
        device->NextEventUs() == kNeverUs && PendingForReader(line) == 0 &&
        nowUs - out.LastWriteUs() > kSettleUs) {
      break;
    }

    const TimeUs nextUs = device->NextEventUs();
    int timeoutMs = 1000;
    if (nextUs != kNeverUs) {
      const TimeUs waitUs = nextUs - nowUs;
      timeoutMs = waitUs <= 0 ? 0 : static_cast<int>(std::min<TimeUs>((waitUs + 999) / 1000, 1000));
    }
    if (!out.Empty() || line.tty || options.exitWhenDone) timeoutMs = std::min(timeoutMs, 20);
    // A device that is due but held back by a full output waits for the
    // line to take some (POLLOUT) instead of spinning.
    if (out.Full()) timeoutMs = 20;
    pollfd fds[2] = {{line.fd, POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
    if (!out.Empty()) fds[0].events |= POLLOUT;
    if (account && !account->Present()) {
      // The hang-up would wake poll() at once: look for a reader now and then
      // (an exchange that waits for one has nothing else to do).
      fds[0].fd = -1;
      timeoutMs = waitsForReader ? kLookForReaderMs : std::min(timeoutMs, kLookForReaderMs);
    }
    if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR) {
      exitCode = 1;
      break;
    }
    if (fds[1].revents != 0) {
      char signals[16];
      const ssize_t n = read(g_signalPipe[0], signals, sizeof signals);
      bool stop = n <= 0;
      for (ssize_t i = 0; i < n; ++i) {
        if (signals[i] == kSignalDrop) {
          dropConnection("dropped (SIGUSR2)");
        } else if (signals[i] == kSignalBurst && exchange) {
          std::fprintf(stderr, "vesper-sim: burst of %d records from record %d\n",
                       options.burstRecords, exchange->RecordsSent() + 1);
          exchange->Burst(options.burstRecords);
        } else {
          stop = true;
        }
      }
      if (stop) break;
      continue;
    }
    if (line.fd < 0) continue;  // dropped on a signal
    if ((fds[0].revents & POLLIN) != 0) {
      std::uint8_t buffer[256];
      const ssize_t n = read(line.fd, buffer, sizeof buffer);
      if (tcp && n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
        dropConnection("closed by the recorder");
        continue;
      }
      nowUs = SteadyNowUs(start);
      device->RunUntil(nowUs, out);
      for (ssize_t i = 0; i < n; ++i) device->Receive(buffer[i], nowUs);
    } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
      if (tcp) {
        dropConnection("closed by the recorder");
        continue;
      }
      // A tty that hung up: do not spin.
      poll(nullptr, 0, 100);
    }
  }
  if (account) {
    // Written out first: --sent must hold every byte the account names.
    const std::string fresh = exchange->TakeSent();
    if (sent != nullptr && !fresh.empty()) std::fwrite(fresh.data(), 1, fresh.size(), sent);
    // Never handed over: what still waits in the output.
    account->Dropped(out.TakeAll());
    account->End(exchange->RecordsSent());
    std::fclose(lostLog);
  }
  if (sent != nullptr) std::fclose(sent);
  net::Close(listener);
  return exitCode;
}

}  // namespace
}  // namespace vr::sim

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "avaya") return vr::sim::RunAvayaSimulator(argc, argv);
  vr::sim::Options options;
  const int parsed = vr::sim::ParseOptions(argc, argv, options);
  if (parsed == -1) return 0;
  if (parsed != 0) return parsed;
  return vr::sim::Run(options);
}
