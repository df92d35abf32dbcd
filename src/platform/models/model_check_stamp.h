// The record that a model of the user's store loaded when it was checked, kept beside it.
//
// The recognition library crashes or ends the process on some damaged model files, so a store
// model is loaded once in a child process (the engine's model check) before a session loads it.
// A model that passed is stamped: <model folder>/.quillmor-model-check holds one line
// "quillmor-model-check <key>", the key taken from the relative paths, sizes and modification
// times of the files of the model's three parts (those of the acoustic model folder, names
// beginning with "." aside, and the dictionary and language model files). A model whose files
// change gets another key and is checked again; the installer stamps a model before renaming it
// into place (the rename keeps the key). System models are trusted as their package installed
// them and never stamped.
//
// Thread safety: plain functions on the file system; safe from any thread or process.
#pragma once

#include <optional>
#include <string>

#include "platform/base/status.h"
#include "platform/models/model_store.h"

namespace quillmor_speech {

// The folder of the user's store that holds the model of `files` (<store>/<locale>), or nothing
// when the model is not in the user's store. Never fails.
std::optional<std::string> storeModelFolder(const ModelFiles& files);

// The key of the model's files, whose parts lie in `folder`; nothing when one cannot be
// examined (or the acoustic model folder holds more than a few thousand files). Never fails.
std::optional<std::string> modelCheckKey(const std::string& folder, const ModelFiles& files);

// True when the folder's stamp is present and records `key`. Never fails.
bool isModelCheckStamped(const std::string& folder, const std::string& key);

// Stamps the folder with `key`, atomically (written to a temporary name and renamed).
Status stampModelCheck(const std::string& folder, const std::string& key);

}  // namespace quillmor_speech
