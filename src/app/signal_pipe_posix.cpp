#include "app/signal_pipe_posix.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

namespace vr {
namespace {

constexpr int kHandled[] = {SIGTERM, SIGINT, SIGHUP, SIGPIPE};

// The one thing a handler may touch: the write end of the pipe.
volatile std::sig_atomic_t gWriteFd = -1;

extern "C" void OnSignal(int signalNumber) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  // A full pipe loses the signal; the ones already in it do the same job.
  [[maybe_unused]] const ssize_t written = ::write(gWriteFd, &byte, 1);
  errno = savedErrno;
}

sigset_t HandledSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signalNumber : kHandled)
    if (signalNumber != SIGPIPE) sigaddset(&set, signalNumber);
  return set;
}

}  // namespace

SignalPipe::SignalPipe() {
  if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    fds_[0] = fds_[1] = -1;
    return;
  }
  gWriteFd = fds_[1];
  installed_ = true;
  for (std::size_t i = 0; i < std::size(kHandled); ++i) {
    struct sigaction action {};
    action.sa_handler = kHandled[i] == SIGPIPE ? SIG_IGN : OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(kHandled[i], &action, &previous_[i]) != 0) installed_ = false;
  }
}

SignalPipe::~SignalPipe() {
  for (std::size_t i = 0; i < std::size(kHandled); ++i)
    ::sigaction(kHandled[i], &previous_[i], nullptr);
  gWriteFd = -1;
  for (int& fd : fds_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

std::vector<int> SignalPipe::Take() {
  std::vector<int> taken;
  if (fds_[0] < 0) return taken;
  unsigned char bytes[64];
  for (;;) {
    const ssize_t got = ::read(fds_[0], bytes, sizeof bytes);
    if (got > 0) {
      taken.insert(taken.end(), bytes, bytes + got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return taken;
  }
}

std::thread StartThreadWithoutSignals(std::function<void()> body) {
  const sigset_t handled = HandledSet();
  sigset_t previous;
  ::pthread_sigmask(SIG_BLOCK, &handled, &previous);
  std::thread thread(std::move(body));
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

}  // namespace vr
