#include "serve/results.h"

#include "app/output.h"

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

void forwardResults(std::shared_ptr<SpeechTranscriber> transcriber) {
  GraphemeCounter counter;
  ResultSequence& results = *transcriber->results;
  for (;;) {
    std::optional<SpeechTranscriptionResult> result;
    try {
      result = results.next();
    } catch (const SpeechError& error) {
      emitEvent({{"code", std::string("recognition_failed")},
                 {"message", error.localizedDescription()},
                 {"type", std::string("error")}});
      return;
    }
    if (!result) return;
    if (std::optional<Event> event = resultEvent(*result, counter)) emitEvent(*event);
  }
}

}  // namespace quillmor_speech
