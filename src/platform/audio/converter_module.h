// AVAudioConverter in a shared module of its own (program_module.h): libswresample and
// libavutil, with the libraries they bring, are mapped only by a session whose audio needs
// converting.
//
// PcmConverter is abstract so that the program uses a converter made in the module without
// linking anything of it: every function is virtual or inline, so the program needs none of the
// converter's symbols. The module's implementation forwards to an AVAudioConverter.
#pragma once

#include <memory>

#include "platform/audio/audio_converter.h"
#include "platform/base/status.h"

namespace quillmor_speech {

// An AVAudioConverter as the program sees it; convert is AVAudioConverter::convert.
class PcmConverter {
 public:
  virtual ~PcmConverter() = default;
  virtual StatusOr<AVAudioConverterOutputStatus> convert(
      AVAudioPCMBuffer& output, const AVAudioConverter::InputBlock& inputBlock) = 0;
};

inline constexpr char kConverterModuleFile[] = "quillmor-speech-converter.so";
inline constexpr char kConverterModuleEntry[] = "quillmorConverterModule";

// The module's entry: AVAudioConverter::make behind PcmConverter.
struct ConverterModuleEntry {
  std::unique_ptr<PcmConverter> (*make)(const AVAudioFormat& from, const AVAudioFormat& to);
};

// A converter made by the module, or none when the conversion is not supported
// (AVAudioConverter::make). Fails with the loader's description when the module cannot be
// loaded. The module stays mapped for the life of the process, and with it the converter's code.
StatusOr<std::unique_ptr<PcmConverter>> makeConverterInModule(const AVAudioFormat& from,
                                                              const AVAudioFormat& to);

}  // namespace quillmor_speech
