#include "platform/models/model_catalogue.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "platform/base/posix_error.h"
#include "platform/models/model_paths.h"

namespace quillmor_speech {

namespace {

using nlohmann::json;

struct EntryReader {
  const json& object;
  std::string context;

  [[noreturn]] void invalid(const std::string& key, const std::string& what) const {
    throw ModelError(context + ": \"" + key + "\" " + what);
  }
  bool has(const std::string& key) const { return object.contains(key); }
  std::string text(const std::string& key) const {
    if (!has(key) || !object[key].is_string() || object[key].get<std::string>().empty()) {
      invalid(key, "must be a non-empty text");
    }
    return object[key].get<std::string>();
  }
  std::string relativePath(const std::string& key) const {
    std::string path = text(key);
    if (!isContainedRelativePath(path)) invalid(key, "must be a relative path without \"..\"");
    return path;
  }
  std::uint64_t count(const std::string& key) const {
    if (!object[key].is_number_unsigned()) invalid(key, "must be a whole number");
    return object[key].get<std::uint64_t>();
  }
  long positive(const std::string& key, long fallback) const {
    if (!has(key)) return fallback;
    std::uint64_t value = count(key);
    if (value == 0 || value > 86400) invalid(key, "must be between 1 and 86400");
    return static_cast<long>(value);
  }
};

std::string lowerHex(const std::string& text) {
  std::string lower;
  for (char c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
    lower += c;
  }
  return lower.size() == 64 ? lower : std::string();
}

ModelDownload parseDownload(const json& object, const std::string& context) {
  if (!object.is_object()) throw ModelError(context + ": must be an object");
  EntryReader reader{object, context};
  ModelDownload download;
  download.url = reader.text("url");
  std::string format = reader.has("format") ? reader.text("format") : "archive";
  if (format == "file") {
    download.isArchive = false;
    download.path = reader.relativePath("path");
  } else if (format != "archive") {
    reader.invalid("format", "must be \"archive\" or \"file\"");
  }
  if (reader.has("size")) download.size = reader.count("size");
  if (reader.has("sha256")) {
    download.sha256 = lowerHex(reader.text("sha256"));
    if (download.sha256->empty()) reader.invalid("sha256", "must be 64 hexadecimal digits");
  }
  return download;
}

CatalogueEntry parseEntry(const json& object, const std::string& context) {
  if (!object.is_object()) throw ModelError(context + ": must be an object");
  EntryReader reader{object, context};
  CatalogueEntry entry;
  entry.name = reader.text("name");
  if (!reader.has("downloads") || !object["downloads"].is_array() || object["downloads"].empty()) {
    reader.invalid("downloads", "must be a non-empty list");
  }
  for (std::size_t i = 0; i < object["downloads"].size(); ++i) {
    entry.downloads.push_back(
        parseDownload(object["downloads"][i], context + ", download " + std::to_string(i + 1)));
  }
  entry.parts.acousticModel = reader.relativePath("acousticModel");
  entry.parts.dictionary = reader.relativePath("dictionary");
  entry.parts.languageModel = reader.relativePath("languageModel");
  entry.connectTimeoutSeconds = reader.positive("connectTimeoutSeconds", 30);
  entry.lowSpeedLimit = reader.positive("lowSpeedLimit", 1000);
  entry.lowSpeedTimeSeconds = reader.positive("lowSpeedTimeSeconds", 60);
  if (reader.has("maxUnpackedBytes")) entry.maxUnpackedBytes = reader.count("maxUnpackedBytes");
  return entry;
}

}  // namespace

Catalogue parseCatalogue(const std::string& text, const std::string& origin) {
  json document = json::parse(text, nullptr, false);
  if (document.is_discarded()) throw ModelError("catalogue " + origin + " is not valid JSON");
  if (!document.is_object() || !document.contains("models") || !document["models"].is_object()) {
    throw ModelError("catalogue " + origin + " has no \"models\" object");
  }
  Catalogue catalogue;
  for (const auto& [key, value] : document["models"].items()) {
    std::string context = "catalogue " + origin + ", model \"" + key + "\"";
    std::optional<std::string> locale = canonicalLocale(key);
    if (!locale) throw ModelError(context + ": not a locale identifier");
    if (catalogue.count(*locale)) throw ModelError(context + ": locale listed twice");
    catalogue[*locale] = parseEntry(value, context);
  }
  return catalogue;
}

Catalogue loadCatalogue() {
  for (const std::string& path : catalogueCandidates()) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) continue;
    std::ifstream file(path, std::ios::binary);
    if (!file) throw ModelError(posixError("cannot open the model catalogue " + path, errno));
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) throw ModelError(posixError("cannot read the model catalogue " + path, errno));
    return parseCatalogue(text, path);
  }
  return {};
}

}  // namespace quillmor_speech
