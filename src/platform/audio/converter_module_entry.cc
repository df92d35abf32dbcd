// The entry of the converter module (converter_module.h); compiled into the module alone.
#include "platform/audio/converter_module.h"

extern "C" {
__attribute__((visibility("default"))) extern const quillmor_speech::ConverterModuleEntry
    quillmorConverterModule;
const quillmor_speech::ConverterModuleEntry quillmorConverterModule{
    &quillmor_speech::AVAudioConverter::make};
}
