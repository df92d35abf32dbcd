#include "serve/session_signals.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <thread>

namespace quillmor_speech {

namespace {

[[noreturn]] void endCancelled(int signal, bool downloading) {
  failWithLastLine("recognition_failed", "收到 " + signalName(signal) +
                                             (downloading ? "，模型下载已取消" : "，识别已取消"));
}

}  // namespace

SessionSignals::SessionSignals() : watch_([this](int signal) { onSignal(signal); }) {}

void SessionSignals::runInstallation(AssetInstallationRequest& installation,
                                     const std::function<void()>& announce) {
  {
    MutexLock lock(mutex_);
    installing_ = &installation;
  }
  std::exception_ptr failure;
  try {
    announce();
    installation.downloadAndInstall();
  } catch (...) {
    failure = std::current_exception();
  }
  int signal = 0;
  {
    MutexLock lock(mutex_);
    installing_ = nullptr;
    signal = cancelledBy_;
  }
  if (signal != 0) endCancelled(signal, true);
  if (failure) std::rethrow_exception(failure);
}

void SessionSignals::audioStarts() {
  acceptWakeSignal();
  reader_ = pthread_self();
  reading_.store(true, std::memory_order_release);
}

void SessionSignals::onSignal(int signal) {
  if (reading_.load(std::memory_order_acquire)) {
    interruptRead(STDIN_FILENO, reader_);
    return;
  }
  bool downloading = false;
  {
    MutexLock lock(mutex_);
    if (installing_ != nullptr && cancelledBy_ == 0) {
      cancelledBy_ = signal;
      installing_->cancel();
      downloading = true;
    }
  }
  // The installing thread ends the process once the installation has stopped.
  if (downloading) std::this_thread::sleep_for(std::chrono::seconds(kCancelGraceSeconds));
  endCancelled(signal, downloading);
}

}  // namespace quillmor_speech
