// The decode command: any audio file as raw 16-bit little-endian mono PCM at 16000 Hz.
#pragma once

#include <string>

namespace quillmor_speech {

// Writes the samples to standard output; every fatal condition ends the process inside.
void decode(const std::string& path);

}  // namespace quillmor_speech
