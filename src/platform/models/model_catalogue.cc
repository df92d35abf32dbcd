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

// Reads the fields of one JSON object. The first invalid field is kept in `failure`; after it,
// reads give empty values, so a caller checks `failure` once when done.
struct EntryReader {
  const json& object;
  std::string context;
  Status failure;

  void invalid(const std::string& key, const std::string& what) {
    if (failure.isOk()) failure = Status::error(context + ": \"" + key + "\" " + what);
  }
  bool has(const std::string& key) const { return object.contains(key); }
  std::string text(const std::string& key) {
    if (!has(key) || !object[key].is_string() || object[key].get<std::string>().empty()) {
      invalid(key, "must be a non-empty text");
      return {};
    }
    return object[key].get<std::string>();
  }
  std::string relativePath(const std::string& key) {
    std::string path = text(key);
    if (failure.isOk() && !isContainedRelativePath(path)) {
      invalid(key, "must be a relative path without \"..\"");
    }
    return path;
  }
  std::uint64_t count(const std::string& key) {
    if (!object[key].is_number_unsigned()) {
      invalid(key, "must be a whole number");
      return 0;
    }
    return object[key].get<std::uint64_t>();
  }
  // The field's value between 1 and `most`, or `fallback` when the field is absent.
  long bounded(const std::string& key, long fallback, long most) {
    if (!has(key)) return fallback;
    std::uint64_t value = count(key);
    if (failure.isOk() && (value == 0 || value > static_cast<std::uint64_t>(most))) {
      invalid(key, "must be between 1 and " + std::to_string(most));
    }
    return static_cast<long>(value);
  }
};

// The most seconds a transfer setting may name: one day.
constexpr long kMostSeconds = 86400;
// The highest low-speed limit, in bytes per second: 100 MiB/s, beyond which the limit would
// abort transfers over any ordinary link.
constexpr long kMostLowSpeedBytesPerSecond = 100L << 20;

std::string lowerHex(const std::string& text) {
  std::string lower;
  for (char c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
    lower += c;
  }
  return lower.size() == 64 ? lower : std::string();
}

StatusOr<ModelDownload> parseDownload(const json& object, const std::string& context) {
  if (!object.is_object()) return Status::error(context + ": must be an object");
  EntryReader reader{object, context, {}};
  ModelDownload download;
  download.url = reader.text("url");
  std::string format = reader.has("format") ? reader.text("format") : "archive";
  if (format == "file") {
    download.isArchive = false;
    download.path = reader.relativePath("path");
  } else if (reader.failure.isOk() && format != "archive") {
    reader.invalid("format", "must be \"archive\" or \"file\"");
  }
  if (reader.has("size")) download.size = reader.count("size");
  if (reader.has("sha256")) {
    download.sha256 = lowerHex(reader.text("sha256"));
    if (download.sha256->empty()) reader.invalid("sha256", "must be 64 hexadecimal digits");
  }
  if (!reader.failure.isOk()) return reader.failure;
  return download;
}

StatusOr<CatalogueEntry> parseEntry(const json& object, const std::string& context) {
  if (!object.is_object()) return Status::error(context + ": must be an object");
  EntryReader reader{object, context, {}};
  CatalogueEntry entry;
  entry.name = reader.text("name");
  if (!reader.failure.isOk()) return reader.failure;
  if (!reader.has("downloads") || !object["downloads"].is_array() || object["downloads"].empty()) {
    reader.invalid("downloads", "must be a non-empty list");
    return reader.failure;
  }
  for (std::size_t i = 0; i < object["downloads"].size(); ++i) {
    StatusOr<ModelDownload> download =
        parseDownload(object["downloads"][i], context + ", download " + std::to_string(i + 1));
    if (!download) return download.status();
    entry.downloads.push_back(std::move(*download));
  }
  entry.parts.acousticModel = reader.relativePath("acousticModel");
  entry.parts.dictionary = reader.relativePath("dictionary");
  entry.parts.languageModel = reader.relativePath("languageModel");
  entry.connectTimeoutSeconds =
      reader.bounded("connectTimeoutSeconds", entry.connectTimeoutSeconds, kMostSeconds);
  entry.lowSpeedLimit =
      reader.bounded("lowSpeedLimit", entry.lowSpeedLimit, kMostLowSpeedBytesPerSecond);
  entry.lowSpeedTimeSeconds =
      reader.bounded("lowSpeedTimeSeconds", entry.lowSpeedTimeSeconds, kMostSeconds);
  if (reader.has("maxUnpackedBytes")) entry.maxUnpackedBytes = reader.count("maxUnpackedBytes");
  if (!reader.failure.isOk()) return reader.failure;
  return entry;
}

}  // namespace

StatusOr<Catalogue> parseCatalogue(const std::string& text, const std::string& origin) {
  json document = json::parse(text, nullptr, false);
  if (document.is_discarded()) return Status::error("catalogue " + origin + " is not valid JSON");
  if (!document.is_object() || !document.contains("models") || !document["models"].is_object()) {
    return Status::error("catalogue " + origin + " has no \"models\" object");
  }
  Catalogue catalogue;
  for (const auto& [key, value] : document["models"].items()) {
    std::string context = "catalogue " + origin + ", model \"" + key + "\"";
    std::optional<std::string> locale = canonicalLocale(key);
    if (!locale) return Status::error(context + ": not a locale identifier");
    if (catalogue.count(*locale)) return Status::error(context + ": locale listed twice");
    StatusOr<CatalogueEntry> entry = parseEntry(value, context);
    if (!entry) return entry.status();
    catalogue[*locale] = std::move(*entry);
  }
  return catalogue;
}

StatusOr<Catalogue> loadCatalogue() {
  for (const std::string& path : catalogueCandidates()) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) continue;
    std::ifstream file(path, std::ios::binary);
    if (!file) return posixError("cannot open the model catalogue " + path, errno);
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) return posixError("cannot read the model catalogue " + path, errno);
    return parseCatalogue(text, path);
  }
  return Catalogue{};
}

}  // namespace quillmor_speech
