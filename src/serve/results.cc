#include "serve/results.h"

#include "output/output.h"

namespace quillmor_speech {

std::optional<Event> resultEvent(const SpeechTranscriptionResult& result,
                                 GraphemeCounter& counter) {
  std::string text = trimWhitespaceAndNewlines(result.plainText());
  if (text.empty()) return std::nullopt;
  Event event{{"type", std::string(result.isFinal ? "final" : "partial")},
              {"text", text},
              {"start", CMTimeGetSeconds(result.range.start)},
              {"end", CMTimeGetSeconds(result.range.end())}};
  if (!result.isFinal) return event;
  double weightedSum = 0.0;
  std::int64_t characterTotal = 0;
  for (const TextRun& run : result.text) {
    if (!run.confidence) continue;
    std::int64_t characters = counter.count(run.text);
    characterTotal += characters;
    weightedSum += *run.confidence * static_cast<double>(characters);
  }
  if (characterTotal > 0) event["confidence"] = weightedSum / static_cast<double>(characterTotal);
  return event;
}

void forwardResults(std::shared_ptr<SpeechTranscriber> transcriber) noexcept {
  try {
    GraphemeCounter counter;
    ResultSequence& results = *transcriber->results;
    while (std::optional<SpeechTranscriptionResult> result = results.next()) {
      if (std::optional<Event> event = resultEvent(*result, counter)) emitEvent(*event);
    }
  } catch (...) {
    // The results are over for this session; the main flow still ends it with "done". The
    // engine's own error is quoted exactly. A line that cannot even be made is lost like any
    // event that cannot be serialised.
    try {
      const std::string message = currentExceptionMessage();
      emitEvent({{"code", std::string("recognition_failed")},
                 {"message", message},
                 {"type", std::string("error")}});
    } catch (...) {
    }
  }
}

ResultTask::ResultTask(std::shared_ptr<SpeechTranscriber> transcriber)
    : transcriber_(std::move(transcriber)), thread_(forwardResults, transcriber_) {}

ResultTask::~ResultTask() {
  if (!thread_.joinable()) return;
  transcriber_->results->finish();
  thread_.join();
}

void ResultTask::join() { thread_.join(); }

}  // namespace quillmor_speech
