// Where recognition models live, and what the engine knows about each locale's model.
//
// System models come from the OS's packages (Debian's pocketsphinx-en-us); the user's store is
// $XDG_DATA_HOME/quillmor-speech/models/<locale>/ (~/.local/share when the variable is unset).
// A catalogue of downloadable models ships with the program; a catalogue.json in the user's
// store replaces it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/status.h"

namespace quillmor_speech {

// The three parts of a PocketSphinx model.
struct ModelFiles {
  std::string acousticModel;  // directory
  std::string dictionary;     // pronunciation dictionary file
  std::string languageModel;  // n-gram language model file
};

// The canonical name of the model a locale request names ("en_US", "en-us" → "en-US";
// "zh_CN", "zh-Hans-CN" → "zh-CN"), or nothing when the text is not a locale identifier.
std::optional<std::string> canonicalLocale(const std::string& locale);

// A complete installed model for the locale (user store first, then system), or nothing.
std::optional<ModelFiles> findInstalledModel(const std::string& locale);

// Where a locale's model stands on this machine.
enum class ModelAvailability {
  unsupported,   // no model exists for the locale (or the text is not a locale)
  downloadable,  // the catalogue offers one
  downloading,   // another installation of it is in progress
  installed,     // a complete model is installed
};

// The locale's availability. Never fails, never touches the network.
ModelAvailability modelAvailability(const std::string& locale);

// Loads a model's files as a recognition session would, where a crash or an exit of the
// recognition library cannot end the caller's process; fails with a description that names the
// part that does not load ("the acoustic model does not load: …"). Stops, failing, soon after
// `cancelled` returns true.
using ModelLoadCheck =
    std::function<Status(const ModelFiles& files, const std::function<bool()>& cancelled)>;

// What installs one locale's model into the user's store, bound when it is requested.
// `install` returns once the model is installed, or fails; it stops, failing, soon after
// `cancelled` (called from its own thread) returns true.
struct ModelInstallation {
  std::string locale;  // canonical
  std::function<Status(const std::function<bool()>& cancelled)> install;
};

// The installation of the locale's model, or nothing when it is installed already. Fails when
// the locale has no downloadable model (or the catalogue cannot be read, or there is no store).
// The installation installs only a model that passes `check`.
StatusOr<std::optional<ModelInstallation>> pendingModelInstallation(const std::string& locale,
                                                                    ModelLoadCheck check);

}  // namespace quillmor_speech
