// AVAudioConverter::make in a shared module of its own (program_module.h): libswresample and
// libavutil, with the libraries they bring, are mapped only by a session whose audio needs
// converting. The converter it makes is used through its virtual interface.
#pragma once

#include <memory>

#include "platform/audio/audio_converter.h"
#include "platform/base/status.h"

namespace quillmor_speech {

inline constexpr char kConverterModuleFile[] = "quillmor-speech-converter.so";
inline constexpr char kConverterModuleEntry[] = "quillmorConverterModule";

// The module's entry.
struct ConverterModuleEntry {
  std::unique_ptr<AVAudioConverter> (*make)(const AVAudioFormat& from, const AVAudioFormat& to);
};

// AVAudioConverter::make, run by the module: a converter, or none when the conversion is not
// supported. Fails with the loader's description when the module cannot be loaded.
StatusOr<std::unique_ptr<AVAudioConverter>> makeConverterInModule(const AVAudioFormat& from,
                                                                  const AVAudioFormat& to);

}  // namespace quillmor_speech
