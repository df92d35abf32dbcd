// The one check of whether a model's three parts are there and look loadable, judged without
// the recognition library.
#pragma once

#include <optional>
#include <string>

#include "platform/models/model_store.h"

namespace quillmor_speech {

// The piece of a model that a check found wanting.
enum class ModelPart {
  acousticModel,    // the acoustic model directory
  modelDefinition,  // its "mdef" file
  dictionary,
  languageModel,
};

// What is wrong with that piece.
enum class ModelPartProblem {
  missing,        // absent, or not a directory (acoustic model) or regular file (the others)
  empty,          // a file of no bytes
  notRecognised,  // an mdef that begins as neither model definition format does
};

// The first shortcoming of a model's files, with the path that was checked.
struct ModelShortcoming {
  ModelPart part;
  ModelPartProblem problem;
  std::string path;
};

// Nothing when the files make a complete model: an acoustic model directory whose "mdef" is a
// regular file beginning as a binary ("BMDF") or text ("0.3") model definition, and non-empty
// regular files for the dictionary and the language model. Otherwise the first shortcoming, in
// that order. Never fails: an unreadable piece counts as missing.
//
// The recognition library ends the process on a model definition it cannot parse, rather than
// failing the load, which is why the beginning of mdef is checked here.
std::optional<ModelShortcoming> findModelShortcoming(const ModelFiles& files);

// "acoustic model", "dictionary" and so on: the piece as a user would name it. The model
// definition is named "acoustic model" too, since it is the acoustic model that is wanting.
const char* modelPartName(ModelPart part);

}  // namespace quillmor_speech
