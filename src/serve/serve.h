// The serve command: one streaming recognition session over standard input and output.
#pragma once

#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

// Runs the session to its end and writes "done"; every fatal condition ends the process inside.
void serve(SpeechEngine& engine);

}  // namespace quillmor_speech
