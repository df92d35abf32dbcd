#include "platform/models/dictionary_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/base/file_descriptor.h"
#include "platform/base/posix_error.h"
#include "platform/models/model_paths.h"
#include "platform/models/store_io.h"

namespace quillmor_speech {

namespace {

constexpr const char* kHeader = ";; quillmor-dictionary ";
// Part of the key: a new way of deriving the dictionary must not reuse old files.
constexpr const char* kDerivation = "lm-words-1";

std::uint64_t fnv1a(const std::string& bytes, std::uint64_t hash = 14695981039346656037ull) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// The identity of one file as the key sees it, or nothing when it cannot be examined.
std::optional<std::string> fileIdentity(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  std::ostringstream identity;
  identity << path << '\n'
           << st.st_size << ' ' << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec << '\n';
  return identity.str();
}

std::string headerFor(const std::string& entries) {
  return kHeader + std::to_string(entries.size()) + " " + hex(fnv1a(entries)) + "\n";
}

}  // namespace

std::optional<std::string> derivedDictionaryPath(const ModelFiles& files) {
  const std::optional<std::string> store = userModelStore();
  const std::optional<std::string> dictionary = fileIdentity(files.dictionary);
  const std::optional<std::string> languageModel = fileIdentity(files.languageModel);
  if (!store || !dictionary || !languageModel) return std::nullopt;
  const std::string key = hex(fnv1a(*dictionary + *languageModel + kDerivation));
  const std::filesystem::path folder = std::filesystem::path(files.dictionary).parent_path();
  if (folder.string().rfind(*store + "/", 0) == 0) {
    return (folder / (".derived-" + key + ".dict")).string();
  }
  return *store + "/.dictionaries/" + key + ".dict";
}

std::optional<std::string> readDerivedDictionary(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string header;
  if (!std::getline(in, header)) return std::nullopt;
  std::string entries((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || header + "\n" != headerFor(entries)) return std::nullopt;
  return entries;
}

Status writeDerivedDictionary(const std::string& path, const std::string& entries) {
  const std::filesystem::path target(path);
  std::error_code error;
  std::filesystem::create_directories(target.parent_path(), error);
  if (error)
    return Status::error("cannot create " + target.parent_path().string() + ": " + error.message());
  return replaceFileWhole(path, headerFor(entries) + entries)
      .withContext("Storing the dictionary " + path);
}

}  // namespace quillmor_speech
