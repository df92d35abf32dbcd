#include "platform/models/model_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform/base/program_module.h"
#include "platform/models/model_completeness.h"

namespace quillmor_speech {

namespace {

std::optional<std::string> homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home);
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> userModelStore() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') {
    return joinPath(dataHome, "quillmor-speech/models");
  }
  std::optional<std::string> home = homeDirectory();
  if (!home) return std::nullopt;
  return joinPath(*home, ".local/share/quillmor-speech/models");
}

std::vector<std::string> catalogueCandidates() {
  std::vector<std::string> candidates;
  if (std::optional<std::string> store = userModelStore()) {
    candidates.push_back(*store + "/catalogue.json");
  }
  if (std::optional<std::filesystem::path> directory = executableDirectory()) {
    candidates.push_back((*directory / "../share/quillmor-speech/catalogue.json").string());
  }
  candidates.push_back(std::string(QUILLMOR_DATA_DIR) + "/catalogue.json");
  return candidates;
}

bool isContainedRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

std::string joinPath(const std::string& directory, const std::string& relative) {
  if (directory.empty()) return relative;
  return directory.back() == '/' ? directory + relative : directory + "/" + relative;
}

ModelFiles resolveModelFiles(const std::string& root, const ModelFiles& parts) {
  return {joinPath(root, parts.acousticModel), joinPath(root, parts.dictionary),
          joinPath(root, parts.languageModel)};
}

std::optional<ModelFiles> findStoreModel(const std::string& store, const std::string& locale) {
  const std::string root = joinPath(store, locale);
  std::ifstream file(joinPath(root, kModelManifest), std::ios::binary);
  if (!file) return std::nullopt;
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  nlohmann::json manifest = nlohmann::json::parse(text, nullptr, false);
  if (!manifest.is_object()) return std::nullopt;
  ModelFiles parts;
  for (auto [key, field] : {std::pair{"acousticModel", &parts.acousticModel},
                            std::pair{"dictionary", &parts.dictionary},
                            std::pair{"languageModel", &parts.languageModel}}) {
    if (!manifest.contains(key) || !manifest[key].is_string()) return std::nullopt;
    *field = manifest[key].get<std::string>();
    if (!isContainedRelativePath(*field)) return std::nullopt;
  }
  ModelFiles files = resolveModelFiles(root, parts);
  if (findModelShortcoming(files)) return std::nullopt;
  return files;
}

}  // namespace quillmor_speech
