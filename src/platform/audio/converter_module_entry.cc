// The entry of the converter module (converter_module.h); compiled into the module alone.
#include "platform/audio/converter_module.h"

namespace quillmor_speech {
namespace {

class ModuleConverter : public PcmConverter {
 public:
  explicit ModuleConverter(std::unique_ptr<AVAudioConverter> converter)
      : converter_(std::move(converter)) {}
  StatusOr<AVAudioConverterOutputStatus> convert(
      AVAudioPCMBuffer& output, const AVAudioConverter::InputBlock& inputBlock) override {
    return converter_->convert(output, inputBlock);
  }

 private:
  std::unique_ptr<AVAudioConverter> converter_;
};

std::unique_ptr<PcmConverter> makeConverter(const AVAudioFormat& from, const AVAudioFormat& to) {
  std::unique_ptr<AVAudioConverter> converter = AVAudioConverter::make(from, to);
  if (!converter) return nullptr;
  return std::make_unique<ModuleConverter>(std::move(converter));
}

}  // namespace
}  // namespace quillmor_speech

extern "C" {
__attribute__((visibility("default"))) extern const quillmor_speech::ConverterModuleEntry
    quillmorConverterModule;
const quillmor_speech::ConverterModuleEntry quillmorConverterModule{
    &quillmor_speech::makeConverter};
}
