#include "platform/models/installer_module.h"

#include <vector>

#include "platform/base/program_module.h"

namespace quillmor_speech {

namespace {

int isCancelled(void* context) noexcept {
  try {
    return (*static_cast<const std::function<bool()>*>(context))() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

// What the module's call back to the check needs: the check, and the installation's
// cancellation.
struct CheckContext {
  const ModelLoadCheck* check;
  const std::function<bool()>* cancelled;
};

int checkModel(void* context, const char* acousticModel, const char* dictionary,
               const char* languageModel,
               void (*setMessage)(void* context, const char* text, std::size_t length),
               void* messageContext) noexcept {
  const auto* checking = static_cast<const CheckContext*>(context);
  return runModuleCall(
      [&] {
        return (*checking->check)(ModelFiles{acousticModel, dictionary, languageModel},
                                  *checking->cancelled);
      },
      setMessage, messageContext);
}

}  // namespace

Status installModelInModule(const std::string& store, const std::string& locale,
                            const CatalogueEntry& entry, const ModelLoadCheck& check,
                            const std::function<bool()>& cancelled) {
  StatusOr<InstallerModuleEntry> module = loadModuleEntry<InstallerModuleEntry>();
  if (!module) return module.status();
  std::vector<InstallerDownload> downloads;
  downloads.reserve(entry.downloads.size());
  for (const ModelDownload& download : entry.downloads) {
    downloads.push_back({download.url.c_str(), download.isArchive ? 1 : 0, download.path.c_str(),
                         download.size ? 1 : 0, download.size.value_or(0),
                         download.sha256 ? download.sha256->c_str() : nullptr});
  }
  CheckContext checkContext{&check, &cancelled};
  const InstallerRequest request{store.c_str(),
                                 locale.c_str(),
                                 entry.name.c_str(),
                                 downloads.data(),
                                 downloads.size(),
                                 entry.parts.acousticModel.c_str(),
                                 entry.parts.dictionary.c_str(),
                                 entry.parts.languageModel.c_str(),
                                 entry.connectTimeoutSeconds,
                                 entry.lowSpeedLimit,
                                 entry.lowSpeedTimeSeconds,
                                 entry.maxUnpackedBytes,
                                 &isCancelled,
                                 const_cast<void*>(static_cast<const void*>(&cancelled)),
                                 &checkModel,
                                 &checkContext};
  std::string message;
  const int code = module->installModel(&request, &setModuleMessage, &message);
  if (code == static_cast<int>(StatusCode::ok)) return Status::ok();
  return Status::withCode(static_cast<StatusCode>(code), std::move(message));
}

CatalogueEntry catalogueEntryOf(const InstallerRequest& request) {
  CatalogueEntry entry;
  entry.name = request.name;
  for (std::size_t i = 0; i < request.downloadCount; ++i) {
    const InstallerDownload& download = request.downloads[i];
    ModelDownload& copy = entry.downloads.emplace_back();
    copy.url = download.url;
    copy.isArchive = download.isArchive != 0;
    copy.path = download.path;
    if (download.hasSize != 0) copy.size = download.size;
    if (download.sha256 != nullptr) copy.sha256 = download.sha256;
  }
  entry.parts = {request.acousticModel, request.dictionary, request.languageModel};
  entry.connectTimeoutSeconds = request.connectTimeoutSeconds;
  entry.lowSpeedLimit = request.lowSpeedLimit;
  entry.lowSpeedTimeSeconds = request.lowSpeedTimeSeconds;
  entry.maxUnpackedBytes = request.maxUnpackedBytes;
  return entry;
}

ModelLoadCheck modelLoadCheckOf(const InstallerRequest& request) {
  return [&request](const ModelFiles& files, const std::function<bool()>&) {
    std::string message;
    const int code = request.checkModel(request.checkContext, files.acousticModel.c_str(),
                                        files.dictionary.c_str(), files.languageModel.c_str(),
                                        &setModuleMessage, &message);
    if (code == static_cast<int>(StatusCode::ok)) return Status::ok();
    return Status::withCode(static_cast<StatusCode>(code), std::move(message));
  };
}

}  // namespace quillmor_speech
