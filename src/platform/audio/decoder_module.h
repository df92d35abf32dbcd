// decodePcm in a shared module of its own (program_module.h): FFmpeg's demuxers and decoders,
// with the libraries they bring, are mapped only by the process that decodes a file.
//
// The module is built from this folder's file reader and pcm_decoder; the program reaches it
// only through decodePcmInModule. Tests and fuzz targets link the reader directly.
#pragma once

#include <string>

#include "platform/audio/pcm_decoder.h"

namespace quillmor_speech {

inline constexpr char kDecoderModuleFile[] = "quillmor-speech-decoder.so";
inline constexpr char kDecoderModuleEntry[] = "quillmorDecoderModule";

// The module's entry.
struct DecoderModuleEntry {
  PcmDecodeResult (*decodePcm)(const std::string& path, const PcmSink& sink);
};

// decodePcm, run by the module. When the module cannot be loaded, nothing reaches the sink and
// the result is PcmDecodeFailure::noDecoder with the loader's description.
PcmDecodeResult decodePcmInModule(const std::string& path, const PcmSink& sink);

}  // namespace quillmor_speech
