#include "platform/models/model_completeness.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/models/model_paths.h"

namespace quillmor_speech {

namespace {

namespace fs = std::filesystem;

bool beginsAsModelDefinition(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  char head[4] = {};
  file.read(head, sizeof head);
  const std::string start(head, static_cast<std::size_t>(file.gcount()));
  return start == "BMDF" || start.rfind("0.3", 0) == 0;
}

// The shortcoming of a part that must be a non-empty regular file, or nothing.
std::optional<ModelShortcoming> fileShortcoming(ModelPart part, const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error))
    return ModelShortcoming{part, ModelPartProblem::missing, path};
  const std::uintmax_t size = fs::file_size(path, error);
  if (error) return ModelShortcoming{part, ModelPartProblem::missing, path};
  if (size == 0) return ModelShortcoming{part, ModelPartProblem::empty, path};
  return std::nullopt;
}

}  // namespace

std::optional<ModelShortcoming> findModelShortcoming(const ModelFiles& files) {
  std::error_code error;
  if (!fs::is_directory(files.acousticModel, error)) {
    return ModelShortcoming{ModelPart::acousticModel, ModelPartProblem::missing,
                            files.acousticModel};
  }
  const std::string definition = joinPath(files.acousticModel, "mdef");
  if (auto shortcoming = fileShortcoming(ModelPart::modelDefinition, definition)) {
    return shortcoming;
  }
  if (!beginsAsModelDefinition(definition)) {
    return ModelShortcoming{ModelPart::modelDefinition, ModelPartProblem::notRecognised,
                            definition};
  }
  if (auto shortcoming = fileShortcoming(ModelPart::dictionary, files.dictionary)) {
    return shortcoming;
  }
  return fileShortcoming(ModelPart::languageModel, files.languageModel);
}

const char* modelPartName(ModelPart part) {
  switch (part) {
    case ModelPart::acousticModel:
    case ModelPart::modelDefinition:
      return "acoustic model";
    case ModelPart::dictionary:
      return "dictionary";
    case ModelPart::languageModel:
      return "language model";
  }
  return "model part";
}

}  // namespace quillmor_speech
