// Owners of libarchive handles, and the one place where libarchive's failures become readable
// text.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <string>

namespace quillmor_speech {

struct ArchiveReadDeleter {
  void operator()(archive* handle) const { archive_read_free(handle); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveReadDeleter>;

struct ArchiveWriteDeleter {
  void operator()(archive* handle) const { archive_write_free(handle); }
};
using ArchiveWriter = std::unique_ptr<archive, ArchiveWriteDeleter>;

struct ArchiveEntryDeleter {
  void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};
using ArchiveEntry = std::unique_ptr<archive_entry, ArchiveEntryDeleter>;

// The handle's description of its last failure, for example "Unrecognized archive format" or
// "Truncated input file (needed 1024 bytes, only 0 available)".
inline std::string archiveErrorText(archive* handle) {
  const char* text = archive_error_string(handle);
  if (text != nullptr && text[0] != '\0') return text;
  return "unknown libarchive error";
}

}  // namespace quillmor_speech
