// The serve command: one streaming recognition session over standard input and output.
#pragma once

#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

// Runs the session to its end, writes "done" and ends the process with status 0; every fatal
// condition ends the process inside too. The session's loaded model is never released: the
// process ends right after its last line, and freeing the model would only delay the exit.
[[noreturn]] void serve(SpeechEngine& engine);

}  // namespace quillmor_speech
