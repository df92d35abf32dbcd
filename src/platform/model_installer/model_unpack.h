// Unpacking one fetched download into a model's root directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/base/status.h"
#include "platform/models/model_catalogue.h"

namespace quillmor_speech {

// Unpacks the downloaded `file` into `root` with libarchive: an "archive" download's entries
// (tar, zip or 7-Zip, compressed or not) under their own names, a "file" download (compressed
// or not) at its catalogue path. Refuses absolute names, ".." components, hard and symbolic
// links, device and other special files, and passing `limit` bytes in `written`, which counts
// the bytes unpacked so far over all of a model's downloads.
//
// Fails with "cannot unpack <what> from <url>: " and libarchive's or the system's text or the
// entry refused. What was unpacked before the failure stays in `root`. Stops, failing with
// "cancelled", at the next entry or block of 64 KiB once `cancelled` (when given) returns true.
Status unpackDownload(const ModelDownload& source, const std::string& file, const std::string& root,
                      std::uint64_t limit, std::uint64_t& written, const std::string& what,
                      const std::function<bool()>& cancelled = {});

}  // namespace quillmor_speech
