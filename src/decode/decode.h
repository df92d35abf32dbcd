// The decode command: any audio file as raw 16-bit little-endian mono PCM at 16000 Hz.
#pragma once

#include <string>

#include "platform/audio/decoder_module.h"

namespace quillmor_speech {

// Writes the samples of decodePcm to standard output, each conversion call's frames in one
// write and without stdoutLock (decode is the only writer of its process). Every fatal
// condition ends the process inside, through fail(): an unreadable file or no conversion gives
// "decode_unsupported"; a buffer that cannot be had, a conversion error or a decoder module that
// cannot be loaded "decode_failed".
// Returning means success.
void decode(const std::string& path);

}  // namespace quillmor_speech
