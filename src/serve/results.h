// The result task of serve: turns a transcriber's results into "partial" and "final" lines.
#pragma once

#include <optional>

#include "app/event.h"
#include "platform/speech/speech_engine.h"
#include "serve/result_text.h"

namespace quillmor_speech {

// The event for one result, or nothing when its trimmed text is empty. "final" results carry
// the character-weighted mean of their runs' confidences when any run with a value covers at
// least one character; "partial" ones never do. Pure but for the counter's scratch state.
std::optional<Event> resultEvent(const SpeechTranscriptionResult& result, GraphemeCounter& counter);

// Reads the transcriber's results until they end, writing one line per non-empty result. A
// failing sequence writes one non-fatal "recognition_failed" error line and ends the task.
// Returns normally in every case; runs on its own thread beside the main flow of serve.
void forwardResults(std::shared_ptr<SpeechTranscriber> transcriber);

}  // namespace quillmor_speech
