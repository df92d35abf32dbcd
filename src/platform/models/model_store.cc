#include "platform/models/model_store.h"

#include <unicode/uloc.h>

#include <cctype>

#include "platform/models/installer_module.h"
#include "platform/models/model_catalogue.h"
#include "platform/models/model_completeness.h"
#include "platform/models/model_lock.h"
#include "platform/models/model_paths.h"

namespace quillmor_speech {

namespace {

// Models that the operating system's packages install, by canonical locale.
struct SystemModel {
  const char* locale;
  const char* root;
  ModelFiles parts;  // relative to root
};
const SystemModel kSystemModels[] = {
    {"en-US",
     "/usr/share/pocketsphinx/model/en-us",
     {"en-us", "cmudict-en-us.dict", "en-us.lm.bin"}},
};

// One subtag of an ICU locale id through getter, or "" when it has none.
template <typename Getter>
std::string subtag(const char* id, Getter getter) {
  char buffer[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = getter(id, buffer, sizeof buffer, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string likelySubtags(const std::string& id) {
  char buffer[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  uloc_addLikelySubtags(id.c_str(), buffer, sizeof buffer, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return id;
  return buffer;
}

}  // namespace

std::optional<std::string> canonicalLocale(const std::string& locale) {
  // POSIX names ("en_US.UTF-8", "sr_RS@latin") become language tags; the code set and the
  // modifier do not choose the model.
  std::string tag = locale.substr(0, locale.find_first_of(".@"));
  for (char& c : tag) {
    if (c == '_') c = '-';
  }
  if (tag.empty() || tag.size() >= ULOC_FULLNAME_CAPACITY) return std::nullopt;
  char id[ULOC_FULLNAME_CAPACITY];
  int32_t parsed = 0;
  UErrorCode status = U_ZERO_ERROR;
  uloc_forLanguageTag(tag.c_str(), id, sizeof id, &parsed, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING ||
      parsed != static_cast<int32_t>(tag.size())) {
    return std::nullopt;
  }
  std::string language = subtag(id, uloc_getLanguage);
  if (language.size() < 2 || language.size() > 3 || language == "und") return std::nullopt;

  // "zh" means zh-Hans-CN, "zh-TW" zh-Hant-TW: the most likely script and region fill in what
  // the request leaves out. The script is then named only when it is not the one the region
  // implies, so "zh-Hans-CN" is "zh-CN" while "zh-Hant-CN" stays apart.
  std::string maximal = likelySubtags(id);
  std::string script = subtag(maximal.c_str(), uloc_getScript);
  std::string region = subtag(maximal.c_str(), uloc_getCountry);
  std::string canonical = language;
  if (!region.empty()) {
    std::string implied = subtag(likelySubtags(language + "_" + region).c_str(), uloc_getScript);
    if (!script.empty() && script != implied) canonical += "-" + script;
    canonical += "-" + region;
  } else if (!script.empty()) {
    canonical += "-" + script;
  }
  for (char c : canonical) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return std::nullopt;
  }
  return canonical;
}

std::optional<ModelFiles> findInstalledModel(const std::string& locale) {
  std::optional<std::string> canonical = canonicalLocale(locale);
  if (!canonical) return std::nullopt;
  if (std::optional<std::string> store = userModelStore()) {
    if (std::optional<ModelFiles> files = findStoreModel(*store, *canonical)) return files;
  }
  for (const SystemModel& model : kSystemModels) {
    if (*canonical != model.locale) continue;
    ModelFiles files = resolveModelFiles(model.root, model.parts);
    if (!findModelShortcoming(files)) return files;
  }
  return std::nullopt;
}

ModelAvailability modelAvailability(const std::string& locale) {
  std::optional<std::string> canonical = canonicalLocale(locale);
  if (!canonical) return ModelAvailability::unsupported;
  if (findInstalledModel(*canonical)) return ModelAvailability::installed;
  std::optional<std::string> store = userModelStore();
  if (store && isModelLockHeld(joinPath(*store, *canonical + ".lock"))) {
    return ModelAvailability::downloading;
  }
  // An unreadable catalogue offers nothing; the installation request reports why.
  StatusOr<Catalogue> catalogue = loadCatalogue();
  if (catalogue && catalogue->count(*canonical)) return ModelAvailability::downloadable;
  return ModelAvailability::unsupported;
}

StatusOr<std::optional<ModelInstallation>> pendingModelInstallation(const std::string& locale,
                                                                    ModelLoadCheck check) {
  std::optional<std::string> canonical = canonicalLocale(locale);
  if (!canonical) return Status::error("\"" + locale + "\" is not a locale identifier");
  if (findInstalledModel(*canonical)) return std::optional<ModelInstallation>();
  StatusOr<Catalogue> catalogue = loadCatalogue();
  if (!catalogue) return catalogue.status();
  auto entry = catalogue->find(*canonical);
  if (entry == catalogue->end()) {
    return Status::error("no downloadable speech model for " + locale);
  }
  std::optional<std::string> store = userModelStore();
  if (!store) {
    return Status::error("cannot install the " + locale +
                         " speech model: no home directory for the model store");
  }
  return std::optional<ModelInstallation>(ModelInstallation{
      *canonical, [store = *store, locale = *canonical, entry = entry->second,
                   check = std::move(check)](const std::function<bool()>& cancelled) {
        return installModelInModule(store, locale, entry, check, cancelled);
      }});
}

}  // namespace quillmor_speech
