// installModel in a shared module of its own (program_module.h): libcurl, libarchive and
// OpenSSL, with the libraries they bring, are mapped only by the process that installs a model.
//
// The module is built from this folder's installer, download and unpacking; the store reaches
// it only through installModelInModule.
#pragma once

#include <string>

#include "platform/base/status.h"
#include "platform/models/model_catalogue.h"

namespace quillmor_speech {

inline constexpr char kInstallerModuleFile[] = "quillmor-speech-installer.so";
inline constexpr char kInstallerModuleEntry[] = "quillmorInstallerModule";

// The module's entry.
struct InstallerModuleEntry {
  Status (*installModel)(const std::string& store, const std::string& locale,
                         const CatalogueEntry& entry);
};

// installModel (model_installer.h), run by the module; fails with the loader's description when
// the module cannot be loaded.
Status installModelInModule(const std::string& store, const std::string& locale,
                            const CatalogueEntry& entry);

}  // namespace quillmor_speech
