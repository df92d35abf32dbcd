// The one place where errno values become readable SpeechError descriptions.
#pragma once

#include <cstring>
#include <string>

#include "platform/speech_engine.h"

namespace quillmor_speech {

// "context: No such file or directory" for the errno value `error`.
inline SpeechError posixError(const std::string& context, int error) {
  return SpeechError(context + ": " + std::strerror(error));
}

}  // namespace quillmor_speech
