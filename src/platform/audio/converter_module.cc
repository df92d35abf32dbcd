#include "platform/audio/converter_module.h"

#include "platform/base/program_module.h"

namespace quillmor_speech {

StatusOr<std::unique_ptr<PcmConverter>> makeConverterInModule(const AVAudioFormat& from,
                                                              const AVAudioFormat& to) {
  StatusOr<ProgramModule> module =
      ProgramModule::load(kConverterModuleFile, kConverterModuleEntry);
  if (!module) return module.status();
  return module->entry<ConverterModuleEntry>().make(from, to);
}

}  // namespace quillmor_speech
