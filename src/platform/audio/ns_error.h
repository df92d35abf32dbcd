// The error value of the audio layer: a readable description and nothing else.
#pragma once

#include <string>

namespace quillmor_speech {

struct NSError {
  std::string localizedDescription;
};

}  // namespace quillmor_speech
