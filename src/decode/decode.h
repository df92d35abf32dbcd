// The decode command: any audio file as raw 16-bit little-endian mono PCM at 16000 Hz.
#pragma once

#include <string>

#include "platform/audio/pcm_decoder.h"

namespace quillmor_speech {

// Writes the samples of decodePcm to standard output, each conversion call's frames in one
// write and without stdoutLock (decode is the only writer of its process). Every fatal
// condition ends the process inside, through fail(): an unreadable file or no conversion gives
// "decode_unsupported", a buffer that cannot be had or a conversion error "decode_failed".
// Returning means success.
void decode(const std::string& path);

}  // namespace quillmor_speech
