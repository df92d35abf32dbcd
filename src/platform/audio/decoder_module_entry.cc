// The entry of the decoder module (decoder_module.h); compiled into the module alone.
#include "platform/audio/decoder_module.h"

extern "C" {
__attribute__((visibility("default"))) extern const quillmor_speech::DecoderModuleEntry
    quillmorDecoderModule;
const quillmor_speech::DecoderModuleEntry quillmorDecoderModule{&quillmor_speech::decodePcm};
}
