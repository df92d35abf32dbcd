// The probe command: one line telling what this machine can do.
#pragma once

#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

// Writes the probe event; reads no standard input and never fails.
void probe(SpeechEngine& engine);

}  // namespace quillmor_speech
