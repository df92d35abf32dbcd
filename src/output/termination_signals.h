// SIGTERM and SIGINT, taken by one thread of the program instead of by their default action.
//
// blockTerminationSignals() blocks them (and kWakeSignal) in the calling thread; the program
// calls it before it starts any thread, so that every thread inherits the mask and none is ever
// interrupted or ended by them. A TerminationWatch then takes them on a thread of its own,
// through a signalfd, and runs its handler there for each one. A signal that arrives while no
// watch exists stays pending and is taken when the next watch starts.
#pragma once

#include <pthread.h>

#include <csignal>
#include <functional>
#include <string>
#include <thread>

#include "platform/base/file_descriptor.h"

namespace quillmor_speech {

// Sent by interruptRead to the thread that reads; externally sent, it is harmless (a read in
// progress is retried). Default action: ignored, so a process that never blocked it loses
// nothing either.
inline constexpr int kWakeSignal = SIGURG;

// Blocks SIGTERM, SIGINT and kWakeSignal in the calling thread.
void blockTerminationSignals();

// "SIGTERM", "SIGINT", or "signal N".
std::string signalName(int signal);

class TerminationWatch {
 public:
  // Starts the thread; `handler` runs on it with the signal's number, one call at a time.
  // Throws std::system_error when the watch cannot be set up.
  explicit TerminationWatch(std::function<void(int signal)> handler);
  // Stops the thread and joins it; a handler that is running is waited for.
  ~TerminationWatch();
  TerminationWatch(const TerminationWatch&) = delete;
  TerminationWatch& operator=(const TerminationWatch&) = delete;

 private:
  void run();

  std::function<void(int)> handler_;
  FileDescriptor signals_;  // signalfd of SIGTERM and SIGINT
  FileDescriptor stop_;     // eventfd, written by the destructor
  std::thread thread_;
};

// The error line {"code","message","type":"error"}, then status 1 at once. The line is written
// and the process ends while stdoutLock is held, so no line of another thread can follow it.
[[noreturn]] void failWithLastLine(const std::string& code, const std::string& message);

// Makes the reading thread `reader`, blocked in a read of `fd` or about to read it, read the end
// of input instead: `fd` is replaced by /dev/null and the thread is sent kWakeSignal, whose
// handler does nothing, so that a blocked read returns EINTR and is retried on /dev/null. The
// reader must have called acceptWakeSignal() first. Safe to call more than once.
void interruptRead(int fd, pthread_t reader);

// Lets kWakeSignal interrupt the calling thread's blocking calls (a no-op handler without
// SA_RESTART). Every blocking call of that thread must retry on EINTR.
void acceptWakeSignal();

}  // namespace quillmor_speech
