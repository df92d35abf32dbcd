// Placeholder until the recognizer lands: reports recognition as unavailable.
#include "platform/pocketsphinx_engine.h"

namespace quillmor_speech {

namespace {

class UnavailableEngine : public SpeechEngine {
 public:
  bool isAvailable() override { return false; }
  AssetInventoryStatus status(const SpeechTranscriber&) override {
    return AssetInventoryStatus::unsupported;
  }
  std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(
      const SpeechTranscriber&) override {
    return nullptr;
  }
  std::optional<AVAudioFormat> bestAvailableAudioFormat(const SpeechTranscriber&) override {
    return std::nullopt;
  }
  std::unique_ptr<SpeechAnalyzer> makeAnalyzer(std::shared_ptr<SpeechTranscriber>) override {
    throw SpeechError("no recognizer");
  }
};

}  // namespace

std::unique_ptr<SpeechEngine> makePocketSphinxEngine() {
  return std::make_unique<UnavailableEngine>();
}

}  // namespace quillmor_speech
