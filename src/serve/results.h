// The result task of serve: turns a transcriber's results into "partial" and "final" lines.
#pragma once

#include <memory>
#include <optional>
#include <thread>

#include "output/event.h"
#include "platform/speech/speech_engine.h"
#include "serve/result_text.h"

namespace quillmor_speech {

// The event for one result, or nothing when its trimmed text is empty. "final" results carry
// the character-weighted mean of their runs' confidences when any run with a value covers at
// least one character; "partial" ones never do. Pure but for the counter's scratch state.
std::optional<Event> resultEvent(const SpeechTranscriptionResult& result, GraphemeCounter& counter);

// Reads the transcriber's results until they end, writing one line per non-empty result. A
// failing sequence, or any other failure on the way (memory running out included), writes one
// non-fatal "recognition_failed" error line (the engine's description, or "申请不到内存") and
// ends the task. Returns normally in every case, never by an exception; runs on its own thread
// beside the main flow of serve.
void forwardResults(std::shared_ptr<SpeechTranscriber> transcriber) noexcept;

// The result task of a session: forwardResults on a thread of its own, for as long as this
// owner lives. The thread is joined on every path that leaves the owner's scope: join() waits
// for the results to end (the normal end of a session); the destructor, reached without join()
// only when the session is left early, first ends the transcriber's results (deliveries after
// that are dropped) so that the task returns, then joins. Neither copied nor moved: it
// never leaves the scope that made it.
class ResultTask {
 public:
  // Starts the task; throws std::system_error when no thread can be started.
  explicit ResultTask(std::shared_ptr<SpeechTranscriber> transcriber);
  ResultTask(const ResultTask&) = delete;
  ResultTask& operator=(const ResultTask&) = delete;
  ~ResultTask();

  // Waits until the task has written its last line. Call at most once.
  void join();

 private:
  std::shared_ptr<SpeechTranscriber> transcriber_;
  std::thread thread_;
};

}  // namespace quillmor_speech
