#include "platform/speech/model_assets.h"

#include <utility>

#include "platform/models/model_store.h"

namespace quillmor_speech {

namespace {

class StoreInstallationRequest : public AssetInstallationRequest {
 public:
  explicit StoreInstallationRequest(ModelInstallation installation)
      : installation_(std::move(installation)) {}

  void downloadAndInstall() override {
    Status installed = installation_.install();
    if (!installed) throw SpeechError(installed.description());
  }

 private:
  ModelInstallation installation_;
};

}  // namespace

AssetInventoryStatus modelStatus(const std::string& locale) {
  switch (modelAvailability(locale)) {
    case ModelAvailability::unsupported:
      return AssetInventoryStatus::unsupported;
    case ModelAvailability::downloadable:
      return AssetInventoryStatus::supported;
    case ModelAvailability::downloading:
      return AssetInventoryStatus::downloading;
    case ModelAvailability::installed:
      return AssetInventoryStatus::installed;
  }
  return AssetInventoryStatus::other;
}

std::unique_ptr<AssetInstallationRequest> modelInstallationRequest(const std::string& locale) {
  StatusOr<std::optional<ModelInstallation>> installation = pendingModelInstallation(locale);
  if (!installation) throw SpeechError(installation.status().description());
  if (!*installation) return nullptr;
  return std::make_unique<StoreInstallationRequest>(std::move(**installation));
}

}  // namespace quillmor_speech
