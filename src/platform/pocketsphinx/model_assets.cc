#include "platform/pocketsphinx/model_assets.h"

#include <atomic>
#include <new>
#include <utility>

#include "platform/models/model_check_stamp.h"
#include "platform/models/model_completeness.h"
#include "platform/models/model_store.h"
#include "platform/pocketsphinx/model_check.h"

namespace quillmor_speech {

namespace {

class StoreInstallationRequest : public AssetInstallationRequest {
 public:
  explicit StoreInstallationRequest(ModelInstallation installation)
      : installation_(std::move(installation)) {}

  void downloadAndInstall() override {
    Status installed = installation_.install([this] { return cancelled_.load(); });
    if (!installed) throw SpeechError(installed.description());
  }

  void cancel() override { cancelled_.store(true); }

 private:
  ModelInstallation installation_;
  std::atomic<bool> cancelled_{false};
};

std::string problemWording(const ModelShortcoming& shortcoming) {
  switch (shortcoming.problem) {
    case ModelPartProblem::missing:
      return " is missing";
    case ModelPartProblem::empty:
      return " is empty";
    case ModelPartProblem::notRecognised:
      return " is not a model definition";
  }
  return " is unusable";
}

// The check of this program: the running executable run again as the child.
Status checkInThisProgram(const ModelFiles& files, const std::function<bool()>& cancelled) {
  return checkModelLoads("/proc/self/exe", files, cancelled);
}

}  // namespace

std::optional<std::string> modelFilesProblem(const std::string& locale, const ModelFiles& files) {
  std::optional<ModelShortcoming> shortcoming = findModelShortcoming(files);
  if (!shortcoming) return std::nullopt;
  const std::string state =
      shortcoming->problem == ModelPartProblem::notRecognised ? "damaged" : "incomplete";
  std::string piece = shortcoming->path;
  if (shortcoming->part == ModelPart::acousticModel) {
    piece = "the acoustic model folder " + piece;
  } else if (shortcoming->part != ModelPart::modelDefinition) {
    piece = std::string("the ") + modelPartName(shortcoming->part) + " " + piece;
  }
  return "The " + locale + " speech model is " + state + ": " + piece +
         problemWording(*shortcoming);
}

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
  return modelInstallationRequest(locale, checkInThisProgram);
}

std::unique_ptr<AssetInstallationRequest> modelInstallationRequest(const std::string& locale,
                                                                   ModelLoadCheck check) {
  StatusOr<std::optional<ModelInstallation>> installation =
      pendingModelInstallation(locale, std::move(check));
  if (!installation) throw SpeechError(installation.status().description());
  if (!*installation) return nullptr;
  return std::make_unique<StoreInstallationRequest>(std::move(**installation));
}

std::optional<ModelFiles> findLoadableModel(const std::string& locale) {
  std::optional<ModelFiles> files = findInstalledModel(locale);
  if (!files) return std::nullopt;
  const std::optional<std::string> folder = storeModelFolder(*files);
  if (!folder) return files;
  const std::optional<std::string> key = modelCheckKey(*folder, *files);
  if (key && isModelCheckStamped(*folder, *key)) return files;
  if (Status loads = checkInThisProgram(*files, {}); !loads) {
    // As when the session's own load runs out of memory.
    if (loads.code() == StatusCode::noMemory) throw std::bad_alloc();
    throw SpeechError("The " + locale + " speech model cannot be used: " + loads.description());
  }
  // A store that cannot be written only costs the next session another check.
  if (key) (void)stampModelCheck(*folder, *key);
  return files;
}

}  // namespace quillmor_speech
