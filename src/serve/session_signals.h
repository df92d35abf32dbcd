// What SIGTERM and SIGINT do to a serve session.
//
// Before the audio (while the start frame is awaited, the model is checked or loaded) a signal
// ends the process at once with one "recognition_failed" error line and status 1. During a
// model download it cancels the download first: once the installation has stopped and removed
// its work folder, the process ends the same way. From the audio on, a signal ends the input:
// the thread reading frames sees the end of stdin, whatever it was waiting for, and the session
// ends as at the end of input (the last results, then "done", status 0). Further signals change
// nothing.
#pragma once

#include <pthread.h>

#include <atomic>
#include <functional>

#include "output/termination_signals.h"
#include "platform/base/thread_annotations.h"
#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

class SessionSignals {
 public:
  // Starts taking the signals; the session is in its setup. Throws std::system_error when the
  // signals cannot be watched.
  SessionSignals();

  // Calls `announce` (which writes the download's status line), then runs
  // installation.downloadAndInstall() on the calling thread, and throws what either throws. A
  // signal from before the announcement on cancels it; once it has stopped, the process ends with
  // the error line. An installation that does not stop within kCancelGraceSeconds is left to the
  // next installation to clean up: the process ends then all the same.
  void runInstallation(AssetInstallationRequest& installation,
                       const std::function<void()>& announce);

  // Called by the thread that reads the audio frames from standard input, before its first
  // read: from now on a signal ends its input. Every read of that thread must retry on EINTR.
  void audioStarts();

  static constexpr int kCancelGraceSeconds = 3;

 private:
  void onSignal(int signal);

  Mutex mutex_;
  AssetInstallationRequest* installing_ GUARDED_BY(mutex_) = nullptr;
  int cancelledBy_ GUARDED_BY(mutex_) = 0;  // the signal that cancelled the installation
  std::atomic<bool> reading_{false};
  pthread_t reader_{};      // written before reading_ is set, read after it is seen set
  TerminationWatch watch_;  // last: its thread starts once the members above exist
};

}  // namespace quillmor_speech
