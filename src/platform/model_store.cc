// Minimal store: the system English model only. Replaced by the full store with catalogue,
// user models and installation.
#include "platform/model_store.h"

#include <sys/stat.h>

namespace quillmor_speech {

std::optional<std::string> canonicalLocale(const std::string& locale) {
  if (locale == "en-US" || locale == "en_US" || locale == "en-us") return "en-US";
  if (locale == "zh-CN" || locale == "zh_CN" || locale == "zh-Hans-CN") return "zh-CN";
  return std::nullopt;
}

std::optional<ModelFiles> findInstalledModel(const std::string& locale) {
  if (canonicalLocale(locale) != "en-US") return std::nullopt;
  ModelFiles files{"/usr/share/pocketsphinx/model/en-us/en-us",
                   "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict",
                   "/usr/share/pocketsphinx/model/en-us/en-us.lm.bin"};
  struct stat st;
  if (stat(files.dictionary.c_str(), &st) != 0) return std::nullopt;
  return files;
}

AssetInventoryStatus modelStatus(const std::string& locale) {
  return findInstalledModel(locale) ? AssetInventoryStatus::installed
                                    : AssetInventoryStatus::unsupported;
}

std::unique_ptr<AssetInstallationRequest> modelInstallationRequest(const std::string& locale) {
  if (findInstalledModel(locale)) return nullptr;
  throw SpeechError("no downloadable model for " + locale);
}

}  // namespace quillmor_speech
