// Decoding a whole audio file to 16 kHz 16-bit mono PCM, run by a shared module of its own
// (program_module.h): FFmpeg's demuxers and decoders, with the libraries they bring, are mapped
// only by the process that decodes a file.
//
// The module is built from the file reader's room (platform/audio_file, whose decodePcm is the
// work); the program reaches it only through decodePcmInModule. Tests and fuzz targets link the
// reader directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/base/status.h"

namespace quillmor_speech {

// Takes the samples of one conversion call (never empty). A failure ends the decode with code
// failed and the sink's message.
using PcmSink = std::function<Status(std::span<const std::int16_t> samples)>;

// decodePcm (platform/audio_file/pcm_decoder.h), run by the module: its Status, or a failure of
// code failed with the loader's message when the module cannot be loaded (then nothing reaches
// the sink).
Status decodePcmInModule(const std::string& path, const PcmSink& sink);

// The module's entry, in C types only.
struct DecoderModuleEntry {
  static constexpr std::uint32_t kVersion = 2;
  static constexpr char kFile[] = "quillmor-speech-decoder.so";
  static constexpr char kSymbol[] = "quillmorDecoderModule";

  std::uint32_t version;  // kVersion of the module's build
  // decodePcm: returns the StatusCode as an int, and on failure sets the message through
  // `setMessage`. `sink` returns 0 to go on and anything else to stop the decode (then the
  // result is failed and the caller knows why). Never throws.
  int (*decodePcm)(const char* path,
                   int (*sink)(void* context, const std::int16_t* samples, std::size_t count),
                   void* sinkContext,
                   void (*setMessage)(void* context, const char* text, std::size_t length),
                   void* messageContext);
};

}  // namespace quillmor_speech
