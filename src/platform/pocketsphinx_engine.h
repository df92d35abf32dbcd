// The real speech engine: PocketSphinx with the models of the model store.
#pragma once

#include <memory>

#include "platform/speech_engine.h"

namespace quillmor_speech {

std::unique_ptr<SpeechEngine> makePocketSphinxEngine();

}  // namespace quillmor_speech
