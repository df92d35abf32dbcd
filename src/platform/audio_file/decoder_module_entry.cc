// The entry of the decoder module (platform/audio/decoder_module.h); compiled into the module
// alone.
#include "platform/audio/decoder_module.h"
#include "platform/audio_file/pcm_decoder.h"
#include "platform/base/program_module.h"

namespace quillmor_speech {
namespace {

int decodeInModule(const char* path,
                   int (*sink)(void* context, const std::int16_t* samples, std::size_t count),
                   void* sinkContext,
                   void (*setMessage)(void* context, const char* text, std::size_t length),
                   void* messageContext) {
  return runModuleCall(
      [&] {
        const PcmSink toCaller = [&](std::span<const std::int16_t> samples) {
          return sink(sinkContext, samples.data(), samples.size()) == 0
                     ? Status::ok()
                     : Status::error("the sink stopped the decode");
        };
        return decodePcm(path, toCaller);
      },
      setMessage, messageContext);
}

}  // namespace
}  // namespace quillmor_speech

extern "C" {
__attribute__((
    visibility("default"))) extern const quillmor_speech::DecoderModuleEntry quillmorDecoderModule;
const quillmor_speech::DecoderModuleEntry quillmorDecoderModule{
    quillmor_speech::DecoderModuleEntry::kVersion, &quillmor_speech::decodeInModule};
}
