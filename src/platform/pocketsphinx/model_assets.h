// The model store in the speech engine's vocabulary: AssetInventory status and installation
// requests for a locale's PocketSphinx model.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/models/model_store.h"
#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

// The AssetInventory status of the locale's model. Never fails, never touches the network.
AssetInventoryStatus modelStatus(const std::string& locale);

// A request that installs the locale's model, or nullptr when it is installed already.
// Throws SpeechError when the locale has no downloadable model; the request's
// downloadAndInstall throws SpeechError with the store's description of a failure. The model is
// installed only once it loads in the check of this program (model_check.h); the second form
// takes the check (tests run the program's own, from its path).
std::unique_ptr<AssetInstallationRequest> modelInstallationRequest(const std::string& locale);
std::unique_ptr<AssetInstallationRequest> modelInstallationRequest(const std::string& locale,
                                                                   ModelLoadCheck check);

// The locale's installed model as findInstalledModel finds it, for a session to load: a model
// of the user's store is first loaded in the check of this program, unless its stamp says that
// its files passed (model_check_stamp.h), and stamped when it passes; a system model is trusted.
// Throws SpeechError ("The zh-CN speech model cannot be used: the acoustic model does not
// load: …") when the check fails, std::bad_alloc when it ran out of memory (as the session's
// own load would); nothing when no model is installed.
std::optional<ModelFiles> findLoadableModel(const std::string& locale);

// Why the locale's model files cannot be loaded, judged without the recognition library by the
// store's completeness check ("The en-US speech model is incomplete: the dictionary … is
// missing"), or nothing when they look complete. Never fails.
std::optional<std::string> modelFilesProblem(const std::string& locale, const ModelFiles& files);

}  // namespace quillmor_speech
