// Unpacking one fetched download into a model's root directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/base/status.h"
#include "platform/models/model_catalogue.h"

namespace quillmor_speech {

// Most entries that a model's downloads may hold together: a model has tens of files.
inline constexpr std::uint64_t kMaxModelEntries = 4096;

// Unpacks the downloaded `file` into `root` with libarchive: an "archive" download's entries
// (tar or zip, compressed or not) under their own names, a "file" download (compressed or not)
// at its catalogue path. Only gzip, bzip2, xz and zstd compression is read, all decompressed
// inside the process: no outside program is ever started. Refuses absolute names, ".."
// components, hard and symbolic links, device and other special files, passing `limit` bytes in
// `written`, which counts the bytes unpacked so far over all of a model's downloads, and passing
// kMaxModelEntries entries in `entries`, counted the same way.
//
// Fails with "cannot unpack <what> from <url>: " and libarchive's or the system's text or the
// entry refused. What was unpacked before the failure stays in `root`. Stops, failing with
// "cancelled", at the next entry or block of 64 KiB once `cancelled` (when given) returns true.
Status unpackDownload(const ModelDownload& source, const std::string& file, const std::string& root,
                      std::uint64_t limit, std::uint64_t& written, std::uint64_t& entries,
                      const std::string& what, const std::function<bool()>& cancelled = {});

}  // namespace quillmor_speech
