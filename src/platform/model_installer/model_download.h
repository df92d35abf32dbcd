// Fetching one download of a catalogue entry into a file.
#pragma once

#include <functional>
#include <string>

#include "platform/base/status.h"
#include "platform/models/model_catalogue.h"

namespace quillmor_speech {

// Fetches `source` into the file `path` (created or truncated) with libcurl: redirects followed
// (HTTPS stays HTTPS), TLS verified, the entry's connect and low-speed limits applied, and at
// most the download's size (or 4 GiB when the catalogue gives none) accepted, within an overall
// deadline of the low-speed period plus that many bytes at 50 KiB/s. Then checks the size and
// SHA-256 when the catalogue gives them.
//
// Fails with "cannot download <what> from <url>: " and libcurl's, OpenSSL's or the system's
// text, or the mismatch found. The file may be left partly written. Stops, failing with
// "cancelled", within about a second after `cancelled` (when given) returns true.
Status downloadToFile(const CatalogueEntry& entry, const ModelDownload& source,
                      const std::string& path, const std::string& what,
                      const std::function<bool()>& cancelled = {});

}  // namespace quillmor_speech
