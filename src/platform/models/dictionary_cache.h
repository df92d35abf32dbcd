// Where a model's derived dictionary is kept, and how it is checked and stored.
//
// The recognizer loads a dictionary restricted to the words its language model knows (a word
// outside the language model can never be recognised, and loading the full dictionary is much
// of a session's start). That dictionary is derived once per model and kept in the user's model
// store: beside the model's dictionary, as .derived-<key>.dict, when the model is installed in
// the store (it then goes when the model is replaced or removed), else in the store's
// .dictionaries/<key>.dict (a system model). The key is taken from the paths, sizes and
// modification times of the model's dictionary and language model: a changed model file gives
// another key, so its dictionary is derived afresh.
//
// A cached file begins with one comment line ";; quillmor-dictionary <bytes> <checksum>" that
// describes the rest of the file; a file whose rest does not match it (damaged, cut short, or
// edited) is not used. Files are written to a temporary name in the same folder and renamed
// into place, so that a reader never sees half a file, and two processes storing the same
// dictionary at once both succeed (the last rename wins, with identical contents).
//
// Thread safety: plain functions on the file system; safe to call from any thread or process.
#pragma once

#include <optional>
#include <string>

#include "platform/base/status.h"
#include "platform/models/model_store.h"

namespace quillmor_speech {

// The path of the model's derived dictionary in the user's store (the file may not exist), or
// nothing when there is no user store or the model's files cannot be examined. Never fails.
std::optional<std::string> derivedDictionaryPath(const ModelFiles& files);

// The entries of the cached dictionary at `path` when it is present and intact; nothing
// otherwise. Never fails.
std::optional<std::string> readDerivedDictionary(const std::string& path);

// Whether the cached dictionary at `path` is present and intact, without copying it (a check
// on every session's start). Never fails.
bool isDerivedDictionaryIntact(const std::string& path);

// Stores the entries (the dictionary's lines) at `path` with their checking line, creating
// the folder when needed, atomically.
Status writeDerivedDictionary(const std::string& path, const std::string& entries);

}  // namespace quillmor_speech
