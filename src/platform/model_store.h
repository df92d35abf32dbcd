// Where recognition models live, and what the engine knows about each locale's model.
//
// System models come from the OS's packages (Debian's pocketsphinx-en-us); the user's store is
// $XDG_DATA_HOME/quillmor-speech/models/<locale>/ (~/.local/share when the variable is unset).
// A catalogue of downloadable models ships with the program; a catalogue.json in the user's
// store replaces it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/speech_engine.h"

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

// The AssetInventory status of the locale's model. Never fails, never touches the network.
AssetInventoryStatus modelStatus(const std::string& locale);

// A request that installs the locale's model, or nullptr when it is installed already.
// Throws SpeechError when the locale has no downloadable model.
std::unique_ptr<AssetInstallationRequest> modelInstallationRequest(const std::string& locale);

}  // namespace quillmor_speech
