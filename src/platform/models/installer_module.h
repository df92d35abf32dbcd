// installModel in a shared module of its own (program_module.h): libcurl, libarchive and
// OpenSSL, with the libraries they bring, are mapped only by the process that installs a model.
//
// The module is built from the installer's room (platform/model_installer); the store reaches it
// only through installModelInModule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/base/status.h"
#include "platform/models/model_catalogue.h"
#include "platform/models/model_store.h"

namespace quillmor_speech {

// installModel (platform/model_installer/model_installer.h), run by the module; fails with the
// loader's message when the module cannot be loaded. `check` runs in this program, called back
// from the module.
Status installModelInModule(const std::string& store, const std::string& locale,
                            const CatalogueEntry& entry, const ModelLoadCheck& check,
                            const std::function<bool()>& cancelled);

// A catalogue entry's download, in C types. The strings stay valid for the call.
struct InstallerDownload {
  const char* url;
  int isArchive;     // 1: an archive to unpack; 0: a file stored at `path`
  const char* path;  // empty for an archive
  int hasSize;       // 1 when `size` is given
  std::uint64_t size;
  const char* sha256;  // null when not given
};

// What installModel takes, in C types. The strings and downloads stay valid for the call.
struct InstallerRequest {
  const char* store;
  const char* locale;
  const char* name;
  const InstallerDownload* downloads;
  std::size_t downloadCount;
  const char* acousticModel;
  const char* dictionary;
  const char* languageModel;
  long connectTimeoutSeconds;
  long lowSpeedLimit;
  long lowSpeedTimeSeconds;
  std::uint64_t maxUnpackedBytes;
  // Nonzero once the installation is to stop; called often from the installing thread.
  int (*isCancelled)(void* context);
  void* cancelContext;
  // The program's ModelLoadCheck of the unpacked model's files (with the installation's
  // cancellation): returns the StatusCode as an int, and on failure sets the message through
  // `setMessage`. Never throws.
  int (*checkModel)(void* context, const char* acousticModel, const char* dictionary,
                    const char* languageModel,
                    void (*setMessage)(void* context, const char* text, std::size_t length),
                    void* messageContext);
  void* checkContext;
};

// The module's entry, in C types only.
struct InstallerModuleEntry {
  static constexpr std::uint32_t kVersion = 4;
  static constexpr char kFile[] = "quillmor-speech-installer.so";
  static constexpr char kSymbol[] = "quillmorInstallerModule";

  std::uint32_t version;  // kVersion of the module's build
  // installModel: returns the StatusCode as an int, and on failure sets the message through
  // `setMessage`. Never throws.
  int (*installModel)(const InstallerRequest* request,
                      void (*setMessage)(void* context, const char* text, std::size_t length),
                      void* messageContext);
};

// The entry as the module reads it back.
CatalogueEntry catalogueEntryOf(const InstallerRequest& request);

// The request's check as the module calls it. The program's side cancels it with the
// installation, so the cancellation the module passes is not used.
ModelLoadCheck modelLoadCheckOf(const InstallerRequest& request);

}  // namespace quillmor_speech
