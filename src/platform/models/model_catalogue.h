// The catalogue of downloadable models: what to fetch for a locale and where the model's three
// parts sit once it is unpacked.
//
// The catalogue is a JSON file (data/catalogue.json ships with the program):
//
//   {"models": {"zh-CN": {
//      "name": "cmusphinx-zh-cn-5.2",
//      "downloads": [{"url": "https://…/cmusphinx-zh-cn-5.2.tar.gz", "format": "archive",
//                     "size": 123, "sha256": "…"}],
//      "acousticModel": "cmusphinx-zh-cn-5.2/zh_cn.cd_cont_5000",
//      "dictionary": "cmusphinx-zh-cn-5.2/zh_cn.dic",
//      "languageModel": "cmusphinx-zh-cn-5.2/zh_cn.lm.bin"}}}
//
// Keys are locale identifiers in any form canonicalLocale accepts. A download's "format" is
// "archive" (tar or zip, possibly gzip, bzip2, xz or zstd compressed: unpacked at the model's
// root) or "file" (one file, decompressed when so compressed, stored at its "path"). "size" and
// "sha256" are checked when present. The part paths are relative to the model's root; a part not
// found there is looked for under each top-level directory. Optional transfer settings per entry,
// for mirrors on slow links: "connectTimeoutSeconds" and "lowSpeedTimeSeconds" (1 to 86400),
// "lowSpeedLimit" (bytes per second, 1 to 104857600: a transfer slower than that for
// lowSpeedTimeSeconds is given up), and "maxUnpackedBytes", the most that the downloads may
// unpack to; their defaults are those of CatalogueEntry.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/models/model_store.h"

namespace quillmor_speech {

struct ModelDownload {
  std::string url;
  bool isArchive = true;
  std::string path;  // where a "file" download is stored, relative to the model's root
  std::optional<std::uint64_t> size;
  std::optional<std::string> sha256;  // 64 lower-case hex digits
};

struct CatalogueEntry {
  std::string name;
  std::vector<ModelDownload> downloads;
  ModelFiles parts;  // relative to the model's root
  long connectTimeoutSeconds = 30;
  long lowSpeedLimit = 1000;
  long lowSpeedTimeSeconds = 60;
  std::uint64_t maxUnpackedBytes = std::uint64_t{4} << 30;
};

// Keyed by canonical locale.
using Catalogue = std::map<std::string, CatalogueEntry>;

// Parses catalogue text. Fails, naming `origin` and the offending entry and field, when the
// text is not a valid catalogue.
StatusOr<Catalogue> parseCatalogue(const std::string& text, const std::string& origin);

// The catalogue in effect (the first of catalogueCandidates() that exists), or an empty one
// when none exists. Fails when that file cannot be read or is not valid.
StatusOr<Catalogue> loadCatalogue();

}  // namespace quillmor_speech
