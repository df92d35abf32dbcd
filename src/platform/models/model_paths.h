// Where the model store and the catalogue of downloadable models are on this machine.
//
// The user's store follows the platform's convention for per-user application data:
// $XDG_DATA_HOME/quillmor-speech/models (a relative or empty XDG_DATA_HOME is ignored), else
// $HOME/.local/share/quillmor-speech/models, else the home directory of the password database.
// Inside it: <locale>/ (an installed model, named by its canonical locale), <locale>.lock (held
// while a process installs that locale), .<locale>.* (work directories of an installation), and
// optionally catalogue.json.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/models/model_store.h"

namespace quillmor_speech {

// The file in an installed model's directory that names its three parts (relative paths, JSON
// keys "acousticModel", "dictionary", "languageModel", and the catalogue's "name"). It is
// written last, before the directory is renamed into place.
inline constexpr const char* kModelManifest = "quillmor-model.json";

// The user's model store directory (it may not exist yet), or nothing when no home directory
// can be found. Reads the environment; never fails.
std::optional<std::string> userModelStore();

// The catalogue files to try, first match wins: catalogue.json in the user's store (it replaces
// the shipped one), then the shipped one beside the executable (<exe dir>/../share/
// quillmor-speech) and in the install prefix.
std::vector<std::string> catalogueCandidates();

// True when `path` is relative, non-empty and has no ".." component: it stays inside the
// directory it is resolved against (symbolic links aside).
bool isContainedRelativePath(const std::string& path);

// `relative` inside `directory`: the two joined by one "/". The one way the store builds paths.
std::string joinPath(const std::string& directory, const std::string& relative);

// The model's parts, given relative to `root`, as paths inside it.
ModelFiles resolveModelFiles(const std::string& root, const ModelFiles& parts);

// The complete model installed in the store for the canonical locale, located through its
// manifest, or nothing (also when findModelShortcoming finds it wanting). Never fails.
std::optional<ModelFiles> findStoreModel(const std::string& store, const std::string& locale);

}  // namespace quillmor_speech
