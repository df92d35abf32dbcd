#include "serve/session_signals.h"

#include <unistd.h>

namespace quillmor_speech {

SessionSignals::SessionSignals() : watch_([this](int signal) { onSignal(signal); }) {}

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
  failWithLastLine("recognition_failed", "收到 " + signalName(signal) + "，识别已取消");
}

}  // namespace quillmor_speech
