#include "platform/audio/decoder_module.h"

#include "platform/base/program_module.h"

namespace quillmor_speech {

PcmDecodeResult decodePcmInModule(const std::string& path, const PcmSink& sink) {
  StatusOr<ProgramModule> module = ProgramModule::load(kDecoderModuleFile, kDecoderModuleEntry);
  if (!module) return {PcmDecodeFailure::noDecoder, module.status()};
  return module->entry<DecoderModuleEntry>().decodePcm(path, sink);
}

}  // namespace quillmor_speech
