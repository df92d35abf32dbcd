#include "platform/models/dictionary_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string_view>

#include "platform/base/file_descriptor.h"
#include "platform/base/mapped_file.h"
#include "platform/base/posix_error.h"
#include "platform/models/model_paths.h"
#include "platform/models/store_io.h"

namespace quillmor_speech {

namespace {

constexpr const char* kHeader = ";; quillmor-dictionary ";
// A cached dictionary larger than this is not one this program wrote (the en-US model's whole
// dictionary is 3.2 MB): it is derived afresh rather than read into memory.
constexpr std::size_t kMaxCachedBytes = std::size_t{64} << 20;
// Part of the key: a new way of deriving the dictionary must not reuse old files.
constexpr const char* kDerivation = "lm-words-1";

std::uint64_t fnv1a(std::string_view bytes, std::uint64_t hash = 14695981039346656037ull) {
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

std::string headerFor(std::string_view entries) {
  return kHeader + std::to_string(entries.size()) + " " + hex(fnv1a(entries)) + "\n";
}

// The entries of a cached file when its first line describes the rest.
std::optional<std::string_view> intactEntries(std::string_view file) {
  const std::size_t headerEnd = file.find('\n');
  if (headerEnd == std::string_view::npos) return std::nullopt;
  const std::string_view entries = file.substr(headerEnd + 1);
  if (file.substr(0, headerEnd + 1) != headerFor(entries)) return std::nullopt;
  return entries;
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

bool isDerivedDictionaryIntact(const std::string& path) {
  const std::optional<MappedFile> file = MappedFile::open(path, kMaxCachedBytes);
  return file && intactEntries(file->bytes());
}

std::optional<std::string> readDerivedDictionary(const std::string& path) {
  const std::optional<MappedFile> file = MappedFile::open(path, kMaxCachedBytes);
  if (!file) return std::nullopt;
  const std::optional<std::string_view> entries = intactEntries(file->bytes());
  if (!entries) return std::nullopt;
  return std::string(*entries);
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
