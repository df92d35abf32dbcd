#include "platform/models/model_check_stamp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/base/posix_error.h"
#include "platform/models/model_paths.h"
#include "platform/models/store_io.h"

namespace quillmor_speech {

namespace {

namespace fs = std::filesystem;

constexpr const char* kStampFile = ".quillmor-model-check";
constexpr const char* kStampWord = "quillmor-model-check ";
// An installed model has tens of files; an acoustic model folder with more is not stamped (it
// is then checked before every session).
constexpr std::size_t kMaxAcousticModelFiles = 4096;

std::uint64_t fnv1a(const std::string& bytes, std::uint64_t hash = 14695981039346656037ull) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// "<relative path>\n<size> <mtime>\n" of one regular file under folder, or nothing.
std::optional<std::string> fileIdentity(const std::string& folder, const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const std::string relative =
      path.rfind(folder + "/", 0) == 0 ? path.substr(folder.size() + 1) : path;
  return relative + "\n" + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) +
         "." + std::to_string(st.st_mtim.tv_nsec) + "\n";
}

}  // namespace

std::optional<std::string> storeModelFolder(const ModelFiles& files) {
  const std::optional<std::string> store = userModelStore();
  if (!store) return std::nullopt;
  const std::string prefix = *store + "/";
  if (files.acousticModel.rfind(prefix, 0) != 0) return std::nullopt;
  const std::size_t end = files.acousticModel.find('/', prefix.size());
  if (end == std::string::npos) return std::nullopt;
  return files.acousticModel.substr(0, end);
}

std::optional<std::string> modelCheckKey(const std::string& folder, const ModelFiles& files) {
  std::vector<std::string> acoustic;
  std::error_code error;
  for (fs::recursive_directory_iterator it(files.acousticModel, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename().string().starts_with(".")) {
      if (it->is_directory(error)) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(error)) continue;
    if (acoustic.size() == kMaxAcousticModelFiles) return std::nullopt;
    acoustic.push_back(it->path().string());
  }
  if (error || acoustic.empty()) return std::nullopt;
  std::sort(acoustic.begin(), acoustic.end());
  acoustic.push_back(files.dictionary);
  acoustic.push_back(files.languageModel);
  std::uint64_t hash = fnv1a("model-check-1\n");
  for (const std::string& path : acoustic) {
    std::optional<std::string> identity = fileIdentity(folder, path);
    if (!identity) return std::nullopt;
    hash = fnv1a(*identity, hash);
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(text);
}

bool isModelCheckStamped(const std::string& folder, const std::string& key) {
  std::ifstream in(joinPath(folder, kStampFile), std::ios::binary);
  if (!in) return false;
  std::string line;
  return std::getline(in, line) && line == kStampWord + key;
}

Status stampModelCheck(const std::string& folder, const std::string& key) {
  const std::string path = joinPath(folder, kStampFile);
  return replaceFileWhole(path, kStampWord + key + "\n")
      .withContext("Stamping the checked model " + folder);
}

}  // namespace quillmor_speech
