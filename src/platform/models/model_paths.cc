#include "platform/models/model_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>

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
    return std::string(dataHome) + "/quillmor-speech/models";
  }
  std::optional<std::string> home = homeDirectory();
  if (!home) return std::nullopt;
  return *home + "/.local/share/quillmor-speech/models";
}

std::vector<std::string> catalogueCandidates() {
  std::vector<std::string> candidates;
  if (std::optional<std::string> store = userModelStore()) {
    candidates.push_back(*store + "/catalogue.json");
  }
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    candidates.push_back(
        (executable.parent_path() / "../share/quillmor-speech/catalogue.json").string());
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

std::optional<std::string> missingModelPart(const ModelFiles& files) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::is_regular_file(fs::path(files.acousticModel) / "mdef", error)) {
    return "acoustic model " + files.acousticModel;
  }
  if (!fs::is_regular_file(files.dictionary, error) ||
      fs::file_size(files.dictionary, error) == 0) {
    return "dictionary " + files.dictionary;
  }
  if (!fs::is_regular_file(files.languageModel, error) ||
      fs::file_size(files.languageModel, error) == 0) {
    return "language model " + files.languageModel;
  }
  return std::nullopt;
}

std::optional<ModelFiles> findStoreModel(const std::string& store, const std::string& locale) {
  std::string root = store + "/" + locale;
  std::ifstream file(root + "/" + kModelManifest, std::ios::binary);
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
  ModelFiles files{root + "/" + parts.acousticModel, root + "/" + parts.dictionary,
                   root + "/" + parts.languageModel};
  if (missingModelPart(files)) return std::nullopt;
  return files;
}

}  // namespace quillmor_speech
