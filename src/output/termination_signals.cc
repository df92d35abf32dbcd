#include "output/termination_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "output/output.h"
#include "output/process.h"

namespace quillmor_speech {

namespace {

sigset_t terminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

void blockTerminationSignals() {
  sigset_t set = terminationSet();
  sigaddset(&set, kWakeSignal);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::string signalName(int signal) {
  if (signal == SIGTERM) return "SIGTERM";
  if (signal == SIGINT) return "SIGINT";
  return "signal " + std::to_string(signal);
}

TerminationWatch::TerminationWatch(std::function<void(int)> handler)
    : handler_(std::move(handler)) {
  sigset_t set = terminationSet();
  signals_ = FileDescriptor(signalfd(-1, &set, SFD_CLOEXEC));
  if (!signals_.valid()) throwErrno("signalfd");
  stop_ = FileDescriptor(eventfd(0, EFD_CLOEXEC));
  if (!stop_.valid()) throwErrno("eventfd");
  thread_ = std::thread([this] { run(); });
}

TerminationWatch::~TerminationWatch() {
  std::uint64_t one = 1;
  while (write(stop_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
}

void TerminationWatch::run() {
  for (;;) {
    pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info;
    ssize_t n = read(signals_.get(), &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) handler_(static_cast<int>(info.ssi_signo));
  }
}

void failWithLastLine(const std::string& code, const std::string& message) {
  std::optional<std::string> line;
  try {
    line = encodeEventLine(
        Event{{"code", code}, {"message", message}, {"type", std::string("error")}});
  } catch (...) {
    // no memory for the line: the status alone tells the host
  }
  stdoutLock.lock();  // never released: the process ends holding it
  if (line) writeAllOrExit(STDOUT_FILENO, line->data(), line->size());
  exitNow(1);
}

void interruptRead(int fd, pthread_t reader) {
  int empty = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (empty >= 0) {
    dup2(empty, fd);
    close(empty);
  }
  pthread_kill(reader, kWakeSignal);
}

void acceptWakeSignal() {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
  sigaction(kWakeSignal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, kWakeSignal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace quillmor_speech
